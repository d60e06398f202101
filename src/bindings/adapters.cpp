#include "bindings/adapters.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <string>

#include "bindings/convert.hpp"

namespace swarmix::py {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

Ref call_with_list(PyObject* callable, ArgumentList* list, std::span<const double> position) {
  if (PyErr_CheckSignals() < 0) throw ErrorAlreadySet();
  PyObject* args[2] = {nullptr, list->fill(position)};
  return Ref(PyObject_Vectorcall(callable, args + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// The pending exception is either taken as the failure of `count` points from `point` on (an
// ordinary failure during the search) or must stop the fit.
// An error that ends the fit (swarmix's own usage errors, a broken executor) is raised too.
void absorb_failure(bool strict, FailureLog* log, std::span<const double> point, std::size_t count = 1) {
  if (strict || !PyErr_ExceptionMatches(PyExc_Exception)) throw ErrorAlreadySet();
  Ref error(PyErr_GetRaisedException());
  if (ends_fit(error.get())) {
    PyErr_SetRaisedException(error.release());
    throw ErrorAlreadySet();
  }
  if (log) log->failed(count, std::move(error), point);
}

// What an evaluation returned (null: the call failed, its error pending), as the search sees
// it: a number, else a failure that counts as +inf or stops the fit.
inline double scalar_result(PyObject* result, bool strict, FailureLog* log, std::span<const double> position) {
  if (result) {
    const double v = to_value(result);
    if (!(v == -1.0 && PyErr_Occurred())) return searched(v, strict, log, position);
  }
  absorb_failure(strict, log, position);
  return kInf;
}

// The same for a vector-valued objective: a failure yields its failed row.
std::vector<double> vector_result(PyObject* result, RowLength& rows, bool strict, FailureLog* log,
                                  std::span<const double> position) {
  std::vector<double> values;
  bool converted = false;
  if (result) {
    try {
      values = to_value_vec(result);
      converted = true;
    } catch (const ErrorAlreadySet&) {
    }
  }
  if (converted) {
    rows.take(values, strict, log, position);
  } else {
    absorb_failure(strict, log, position);
    rows.fail(values);
  }
  return values;
}

std::string values_text(std::size_t n, const char* what) {
  return std::to_string(n) + " " + what + (n == 1 ? " value" : " values");
}

}  // namespace

double nan_failed(FailureLog* log, std::span<const double> point) {
  if (log) log->failed(1, Ref(), point);
  return kInf;
}

RowLength::RowLength(std::size_t objectives, const ConstraintCounts& counts)
    : objectives_(objectives), counts_(counts) {
  if (objectives_ != 0) {
    length_ = objectives_ + counts_.total();
    known_ = true;
  }
}

void RowLength::check(std::size_t length) {
  if (known_ && length == length_) return;
  const std::size_t least = counts_.total() + 1;
  if (!known_ && (!counts_.any() || length >= least)) {
    length_ = length;
    objectives_ = length - counts_.total();
    known_ = true;
    return;
  }
  std::string text =
      "the objective returned " + std::to_string(length) + (length == 1 ? " value" : " values") + "; expected ";
  if (!counts_.any()) {
    text += std::to_string(length_) + ", as many as its first evaluation returned";
  } else {
    text += known_ ? std::to_string(length_) + ": " + values_text(objectives_, "objective")
                   : "at least " + std::to_string(least) + ": 1 or more objective values";
    if (counts_.inequalities) text += ", " + values_text(counts_.inequalities, "inequality");
    if (counts_.equalities) text += ", " + values_text(counts_.equalities, "equality");
  }
  raise_fit_failure(PyExc_ValueError, text);
}

void RowLength::take(std::vector<double>& row, bool strict, FailureLog* log, std::span<const double> point) {
  check(row.size());
  if (strict) return;
  if (counts_.any()) {
    if (finite_row(row)) return;
    std::fill(row.begin(), row.end(), kInf);
  } else {
    bool any = false;
    for (double& v : row) {
      if (v != v) {
        v = kInf;
        any = true;
      }
    }
    if (!any) return;
  }
  if (log) log->failed(1, Ref(), point);
}

void RowLength::fail(std::vector<double>& row) const { row.assign(counts_.any() ? length_ : 1, kInf); }

void FailureLog::failed(std::size_t count, Ref error, std::span<const double> point) {
  n_failed += count;
  if (first_error) return;
  first_error = error ? std::move(error) : check(PyObject_CallFunction(PyExc_ValueError, "s", "the objective value is NaN"));
  first_point.assign(point.begin(), point.end());
}

PyObject* ArgumentList::fill(std::span<const double> position) {
  const auto n = static_cast<Py_ssize_t>(position.size());
  PyObject* list = list_.get();
  if (!list || Py_REFCNT(list) != 1 || PyList_GET_SIZE(list) != n) {
    list_ = float_list(position);
    return list_.get();
  }
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PyList_GET_ITEM(list, i);
    if (PyFloat_CheckExact(item) && Py_REFCNT(item) == 1) {
      reinterpret_cast<PyFloatObject*>(item)->ob_fval = position[static_cast<std::size_t>(i)];
    } else {
      PyObject* fresh = PyFloat_FromDouble(position[static_cast<std::size_t>(i)]);
      if (!fresh) throw ErrorAlreadySet();
      PyList_SET_ITEM(list, i, fresh);
      Py_DECREF(item);
    }
  }
  return list;
}

double ScalarAdapter::operator()(std::span<const double> position) const {
  return scalar_result(call_with_list(callable_, args_, position).get(), strict_, log_, position);
}

std::vector<double> VectorAdapter::operator()(std::span<const double> position) const {
  return vector_result(call_with_list(callable_, args_, position).get(), *rows_, strict_, log_, position);
}

// ---------------------------------------------------------------- group objectives

namespace {

// The points as a k x d memoryview of doubles over a new bytearray.
Ref points_view(std::span<const double> points, std::size_t k, std::size_t d) {
  Ref bytes = check(PyByteArray_FromStringAndSize(reinterpret_cast<const char*>(points.data()),
                                                  static_cast<Py_ssize_t>(points.size() * sizeof(double))));
  Ref flat = check(PyMemoryView_FromObject(bytes.get()));
  return check(PyObject_CallMethod(flat.get(), "cast", "s(nn)", "d", static_cast<Py_ssize_t>(k),
                                   static_cast<Py_ssize_t>(d)));
}

std::string shape_text(const Py_buffer& view) {
  std::string text = "(";
  for (int i = 0; i < view.ndim; ++i) {
    if (i) text += ", ";
    text += std::to_string(view.shape[i]);
  }
  return text + (view.ndim == 1 ? ",)" : ")");
}

[[noreturn]] void shape_error(const std::string& got, std::size_t k, bool vector) {
  std::string text = "the group objective returned " + got + " for " + std::to_string(k) +
                     (k == 1 ? " point; expected " : " points; expected ");
  text += vector ? std::to_string(k) + " rows of objective values" : "shape (" + std::to_string(k) + ",)";
  PyErr_SetString(PyExc_ValueError, text.c_str());
  throw ErrorAlreadySet();
}

// A native double: "d", with the native byte order spelt out or not.
bool is_double_format(const char* format) {
  if (!format) return false;
  const char native = std::endian::native == std::endian::little ? '<' : '>';
  if (*format == '@' || *format == '=' || *format == native) ++format;
  return std::strcmp(format, "d") == 0;
}

// A contiguous-or-strided buffer view of the result, released on scope exit.
class BufferView {
 public:
  explicit BufferView(PyObject* obj) {
    if (!PyObject_CheckBuffer(obj)) return;
    if (PyObject_GetBuffer(obj, &view_, PyBUF_RECORDS_RO) == 0)
      held_ = true;
    else
      PyErr_Clear();  // not exportable as numbers (an object array, say): read as a sequence
  }
  ~BufferView() {
    if (held_) PyBuffer_Release(&view_);
  }
  BufferView(const BufferView&) = delete;
  BufferView& operator=(const BufferView&) = delete;
  bool held() const { return held_; }
  const Py_buffer& view() const { return view_; }
  double at(Py_ssize_t i) const {
    double v;
    std::memcpy(&v, static_cast<const char*>(view_.buf) + i * view_.strides[0], sizeof v);
    return v;
  }
  double at(Py_ssize_t i, Py_ssize_t j) const {
    double v;
    std::memcpy(&v, static_cast<const char*>(view_.buf) + i * view_.strides[0] + j * view_.strides[1], sizeof v);
    return v;
  }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

// The result's k entries as a tuple of its own: reading an entry may run user code
// (`__float__`) that changes the result, never the entries read. A mapping, a set, a string
// or any other non-sequence is no list of values.
Ref result_items(PyObject* result, std::size_t k, bool vector) {
  if (PyDict_Check(result) || PyAnySet_Check(result) || PyUnicode_Check(result) || PyBytes_Check(result) ||
      !PySequence_Check(result))
    shape_error(Py_TYPE(result)->tp_name, k, vector);
  Ref items = check(PySequence_Tuple(result));
  const auto n = static_cast<std::size_t>(PyTuple_GET_SIZE(items.get()));
  if (n != k) shape_error("shape (" + std::to_string(n) + ",)", k, vector);
  return items;
}

// The points a masked result (a numpy masked array) marks as missing: one flag per point, a
// row counting as missing when any of its entries is; empty when the result has no mask.
std::vector<bool> masked_points(PyObject* result, std::size_t k) {
  static PyObject* const name = PyUnicode_InternFromString("mask");
  if (!name) throw ErrorAlreadySet();
  if (!_PyType_Lookup(Py_TYPE(result), name)) return {};
  Ref mask = check(PyObject_GetAttr(result, name));
  Py_buffer view;
  if (PyObject_GetBuffer(mask.get(), &view, PyBUF_RECORDS_RO) < 0) {
    PyErr_Clear();  // not an array of flags: a true mask masks everything
    const int all = PyObject_IsTrue(mask.get());
    if (all < 0) throw ErrorAlreadySet();
    return std::vector<bool>(k, all != 0);
  }
  std::vector<bool> masked(k, false);
  const bool readable = view.itemsize == 1 && (view.ndim == 0 || (view.ndim <= 2 && view.shape[0] == static_cast<Py_ssize_t>(k)));
  if (readable) {
    const char* base = static_cast<const char*>(view.buf);
    const Py_ssize_t columns = view.ndim == 2 ? view.shape[1] : 1;
    for (std::size_t i = 0; i < k; ++i) {
      const char* row = view.ndim == 0 ? base : base + static_cast<Py_ssize_t>(i) * view.strides[0];
      for (Py_ssize_t j = 0; j < columns && !masked[i]; ++j) masked[i] = row[view.ndim == 2 ? j * view.strides[1] : 0] != 0;
    }
  }
  PyBuffer_Release(&view);
  if (!readable) {
    PyErr_SetString(PyExc_ValueError, "the group objective returned a mask that does not match its values");
    throw ErrorAlreadySet();
  }
  return masked;
}

// How a group objective's result is read, entry by entry, for the adapters and for the
// journal's reader alike: `value(i, v)` receives a number (a double, or a vector's values, a
// NaN as it is), `failure(i, error)` a failed entry: `error` is the entry's exception object
// (an exception returned as the entry, or a ValueError for a masked entry), or null when
// converting the entry failed (that error is pending). A result that is not k entries is a
// ValueError.
template <bool Vector, class Value, class Failure>
void read_entries(PyObject* result, std::size_t k, Value&& value, Failure&& failure) {
  auto masked_error = [] { return check(PyObject_CallFunction(PyExc_ValueError, "s", "the objective value is masked")); };
  if (BufferView buffer(result); buffer.held()) {
    const Py_buffer& view = buffer.view();
    if (view.ndim != (Vector ? 2 : 1) || static_cast<std::size_t>(view.shape[0]) != k)
      shape_error("shape " + shape_text(view), k, Vector);
    if (is_double_format(view.format)) {
      const std::vector<bool> masked = masked_points(result, k);
      for (std::size_t i = 0; i < k; ++i) {
        const auto row = static_cast<Py_ssize_t>(i);
        if (!masked.empty() && masked[i]) {
          failure(i, masked_error().get());
        } else if constexpr (Vector) {
          std::vector<double> values(static_cast<std::size_t>(view.shape[1]));
          for (Py_ssize_t j = 0; j < view.shape[1]; ++j) values[static_cast<std::size_t>(j)] = buffer.at(row, j);
          value(i, std::move(values));
        } else {
          value(i, buffer.at(row));
        }
      }
      return;
    }
  }
  Ref items = result_items(result, k, Vector);
  const std::vector<bool> masked = masked_points(result, k);
  for (std::size_t i = 0; i < k; ++i) {
    PyObject* item = PyTuple_GET_ITEM(items.get(), static_cast<Py_ssize_t>(i));
    if (!masked.empty() && masked[i]) {
      failure(i, masked_error().get());
    } else if (PyExceptionInstance_Check(item)) {
      failure(i, item);
    } else if constexpr (Vector) {
      std::vector<double> values;
      bool converted = true;
      try {
        values = to_value_vec(item);
      } catch (const ErrorAlreadySet&) {
        converted = false;
      }
      if (converted)
        value(i, std::move(values));
      else
        failure(i, nullptr);
    } else {
      const double v = to_value(item);
      if (v == -1.0 && PyErr_Occurred())
        failure(i, nullptr);
      else
        value(i, v);
    }
  }
}

}  // namespace

void GroupAdapter::failed_with(PyObject* error, std::span<const double> point) const {
  if (strict_ || ends_fit(error)) {
    PyErr_SetRaisedException(Py_NewRef(error));
    throw ErrorAlreadySet();
  }
  if (log_) log_->failed(1, Ref::borrow(error), point);
}

Ref GroupAdapter::call(std::span<const double> points, std::size_t k) const {
  if (PyErr_CheckSignals() < 0) throw ErrorAlreadySet();
  Ref view = points_view(points, k, d_);
  Ref result(PyObject_CallOneArg(group_, view.get()));
  if (!result) absorb_failure(strict_, log_, points.first(d_), k);
  return result;
}

void GroupAdapter::operator()(std::span<const double> points, std::span<double> values) const {
  const std::size_t k = values.size();
  if (k == 0) return;
  Ref result = call(points, k);
  if (!result) {
    std::fill(values.begin(), values.end(), kInf);
    return;
  }
  auto point = [&](std::size_t i) { return points.subspan(i * d_, d_); };
  read_entries<false>(
      result.get(), k, [&](std::size_t i, double v) { values[i] = searched(v, strict_, log_, point(i)); },
      [&](std::size_t i, PyObject* error) {
        if (error)
          failed_with(error, point(i));
        else
          absorb_failure(strict_, log_, point(i));
        values[i] = kInf;
      });
}

void GroupAdapter::operator()(std::span<const double> points, std::span<std::vector<double>> values) const {
  const std::size_t k = values.size();
  if (k == 0) return;
  Ref result = call(points, k);
  if (!result) {
    for (auto& row : values) rows_->fail(row);
    return;
  }
  auto point = [&](std::size_t i) { return points.subspan(i * d_, d_); };
  read_entries<true>(
      result.get(), k,
      [&](std::size_t i, std::vector<double>&& row) {
        values[i] = std::move(row);
        rows_->take(values[i], strict_, log_, point(i));
      },
      [&](std::size_t i, PyObject* error) {
        if (error)
          failed_with(error, point(i));
        else
          absorb_failure(strict_, log_, point(i));
        rows_->fail(values[i]);
      });
}

// ---------------------------------------------------------------- the journal's reader

namespace {

// The rows of a vector fit, as the reader's `self` holds them (None for a scalar fit).
constexpr const char* kRowsCapsule = "swarmix.rows";

RowLength* rows_of(PyObject* self) {
  if (self == Py_None) return nullptr;
  auto* held = static_cast<std::shared_ptr<RowLength>*>(PyCapsule_GetPointer(self, kRowsCapsule));
  if (!held) throw ErrorAlreadySet();
  return held->get();
}

// read_group(result, k): the k entries of a group objective's result as the fit reads them
// (see make_group_reader). `self` holds the vector fit's rows, or is None.
PyObject* read_group(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&]() -> PyObject* {
    if (nargs != 2) {
      PyErr_SetString(PyExc_TypeError, "read_group(result, k) takes 2 arguments");
      throw ErrorAlreadySet();
    }
    const Py_ssize_t n = PyLong_AsSsize_t(args[1]);
    if (n < 0) {
      if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "k must not be negative");
      throw ErrorAlreadySet();
    }
    const auto k = static_cast<std::size_t>(n);
    Ref entries = check(PyList_New(n));
    auto put = [&](std::size_t i, Ref entry) { PyList_SET_ITEM(entries.get(), static_cast<Py_ssize_t>(i), entry.release()); };
    // A failure: (1, error) for an error entry, (2, error) for an entry that is no number;
    // an error that ends the fit (or is no Exception) is raised, as the adapters do.
    auto failure = [&](std::size_t i, PyObject* error) {
      long kind = 1;
      Ref held;
      if (!error) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw ErrorAlreadySet();
        held = Ref(PyErr_GetRaisedException());
        kind = 2;
      } else {
        held = Ref::borrow(error);
      }
      if (ends_fit(held.get())) {
        PyErr_SetRaisedException(held.release());
        throw ErrorAlreadySet();
      }
      put(i, check(Py_BuildValue("(lO)", kind, held.get())));
    };
    if (k == 0) return entries.release();
    if (RowLength* rows = rows_of(self))
      read_entries<true>(
          args[0], k,
          [&](std::size_t i, std::vector<double>&& row) {
            rows->check(row.size());
            put(i, float_list(row));
          },
          failure);
    else
      read_entries<false>(args[0], k, [&](std::size_t i, double v) { put(i, check(PyFloat_FromDouble(v))); }, failure);
    return entries.release();
  });
}

PyMethodDef read_group_def = {
    "read_group", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read_group)), METH_FASTCALL,
    "read_group(result, k)\n--\n\nThe k entries of a group objective's result as the fit reads them: a float\n"
    "(a list of floats for a vector fit) per number, (1, error) per error entry, (2, error) per entry\n"
    "that is no number. A result that is not k entries, and an error that ends the fit, raise."};

}  // namespace

Ref make_group_reader(std::shared_ptr<RowLength> rows) {
  if (!rows) return check(PyCFunction_New(&read_group_def, Py_None));
  auto held = std::make_unique<std::shared_ptr<RowLength>>(std::move(rows));
  Ref capsule = check(PyCapsule_New(held.get(), kRowsCapsule, [](PyObject* capsule) {
    delete static_cast<std::shared_ptr<RowLength>*>(PyCapsule_GetPointer(capsule, kRowsCapsule));
  }));
  static_cast<void>(held.release());  // the capsule owns it
  return check(PyCFunction_New(&read_group_def, capsule.get()));
}

}  // namespace swarmix::py
