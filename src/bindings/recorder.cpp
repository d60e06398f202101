#include "bindings/recorder.hpp"

#include <cerrno>
#include <limits>
#include <string_view>

#include "bindings/convert.hpp"

namespace swarmix::py {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

long long int_attribute(PyObject* obj, const char* name) {
  Ref value = record_attribute(obj, name);
  const long long v = PyLong_AsLongLong(value.get());
  if (v == -1 && PyErr_Occurred()) throw ErrorAlreadySet();
  return v;
}

// A call into the writer: a failure of the file is an OSError.
template <class F>
void writing(F&& f) {
  try {
    f();
  } catch (const journal::FileError& e) {
    errno = e.code;
    PyErr_SetFromErrno(PyExc_OSError);
    throw ErrorAlreadySet();
  }
}

}  // namespace

Ref record_attribute(PyObject* record, const char* name) { return check(PyObject_GetAttrString(record, name)); }

Recorder::Recorder(PyObject* record, std::size_t dimensions, RowLength* rows)
    : record_(Ref::borrow(record)),
      objective_(record_attribute(record, "objective")),
      rows_(rows),
      replay_(record, dimensions, rows != nullptr) {
  const long long fd = int_attribute(record, "fd");
  const long long end = int_attribute(record, "end");
  const long long sync = int_attribute(record, "sync");
  const bool mapped = int_attribute(record, "mapped") != 0;
  if (fd < 0 || fd > std::numeric_limits<int>::max() || end < 0 || sync < 0 || sync > 2) {
    PyErr_SetString(PyExc_ValueError, "__swarmix_record__: fd, end or sync out of range");
    throw ErrorAlreadySet();
  }
  writing([&] {
    writer_.emplace(static_cast<int>(fd), static_cast<std::uint64_t>(end), static_cast<journal::Sync>(sync), mapped,
                    dimensions, rows != nullptr);
  });
}

// ---------------------------------------------------------------- evaluations

Ref Recorder::call(std::span<const double> point) {
  if (PyErr_CheckSignals() < 0) throw ErrorAlreadySet();
  PyObject* args[2] = {nullptr, arguments_.fill(point)};
  return Ref(PyObject_Vectorcall(objective_.get(), args + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

void Recorder::replied_failure(PyObject* error, std::span<const double> point, bool strict, FailureLog* log) {
  if (!PyExceptionInstance_Check(error)) {
    PyErr_SetString(PyExc_TypeError, "__swarmix_record__.reply() must give an exception for a recorded failure");
    throw ErrorAlreadySet();
  }
  if (strict) {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error)), error);
    throw ErrorAlreadySet();
  }
  if (log) log->failed(1, Ref::borrow(error), point);
}

void Recorder::failed(std::size_t index, std::span<const double> point, bool strict, FailureLog* log,
                      bool conversion) {
  if (strict || !PyErr_ExceptionMatches(PyExc_Exception)) throw ErrorAlreadySet();
  Ref error(PyErr_GetRaisedException());
  if (ends_fit(error.get())) {
    PyErr_SetRaisedException(error.release());
    throw ErrorAlreadySet();
  }
  // A result that is not a number keeps its conversion error's message; an error its type too.
  const bool not_a_number = conversion && PyErr_GivenExceptionMatches(error.get(), PyExc_TypeError);
  Ref text;
  if (not_a_number) {
    text = check(PyObject_Str(error.get()));
  } else {
    Ref type_name = check(PyType_GetName(Py_TYPE(error.get())));
    text = check(PyUnicode_FromFormat("%U: %S", type_name.get(), error.get()));
  }
  Ref encoded = check(PyUnicode_AsEncodedString(text.get(), "utf-8", "backslashreplace"));
  const std::string_view bytes(PyBytes_AS_STRING(encoded.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
  writing([&] {
    writer_->evaluation(index, not_a_number ? journal::kNotANumber : journal::kError, point, {}, bytes);
    writer_->evaluated();
  });
  if (log) log->failed(1, std::move(error), point);
}

double Recorder::evaluate(std::span<const double> point, bool strict, FailureLog* log) {
  const std::size_t index = next_++;
  if (replay_.recorded(index, point)) {
    if (replay_.outcome(index) == journal::kNumber) return searched(replay_.number(index), strict, log, point);
    Ref answer = replay_.reply(index);
    replied_failure(answer.get(), point, strict, log);
    return kInf;
  }
  Ref result = call(point);
  double v = kInf;
  bool ok = false;
  if (result) {
    v = to_value(result.get());
    ok = !(v == -1.0 && PyErr_Occurred());
  }
  if (!ok) {
    failed(index, point, strict, log, static_cast<bool>(result));
    return kInf;
  }
  writing([&] {
    writer_->row(index, point, v);
    writer_->evaluated();
  });
  return searched(v, strict, log, point);
}

std::vector<double> Recorder::evaluate_vector(std::span<const double> point, bool strict, FailureLog* log) {
  const std::size_t index = next_++;
  Ref result;
  const bool replayed = replay_.recorded(index, point);
  if (replayed) {
    result = replay_.reply(index);
    if (PyExceptionInstance_Check(result.get())) {
      replied_failure(result.get(), point, strict, log);
      std::vector<double> failed;
      rows_->fail(failed);
      return failed;
    }
  } else {
    result = call(point);
  }
  std::vector<double> values;
  bool ok = false;
  if (result) {
    try {
      values = to_value_vec(result.get());
      ok = true;
    } catch (const ErrorAlreadySet&) {
    }
  }
  if (!ok) {
    if (replayed) throw ErrorAlreadySet();  // recorded values are numbers
    failed(index, point, strict, log, static_cast<bool>(result));
    rows_->fail(values);
    return values;
  }
  // A row of the wrong length ends the fit before it is recorded.
  rows_->check(values.size());
  if (!replayed) {
    writing([&] {
      writer_->evaluation(index, journal::kNumber, point, values);
      writer_->evaluated();
    });
  }
  rows_->take(values, strict, log, point);
  return values;
}

void Recorder::group_done() {
  writing([&] { writer_->group_done(); });
}

void Recorder::close() {
  if (closed_) return;
  closed_ = true;
  writing([&] { writer_->close(); });
  Ref closed = record_attribute(record_.get(), "closed");
  Ref result = check(PyObject_CallFunction(closed.get(), "LOn", static_cast<long long>(writer_->end()),
                                           writer_->appended() ? Py_True : Py_False, static_cast<Py_ssize_t>(next_)));
}

}  // namespace swarmix::py
