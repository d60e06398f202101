#include "bindings/replay.hpp"

#include "bindings/recorder.hpp"

namespace swarmix::py {

namespace {

Ref bytes_attribute(PyObject* obj, const char* name) {
  Ref value = record_attribute(obj, name);
  if (!PyBytes_Check(value.get())) {
    PyErr_Format(PyExc_TypeError, "__swarmix_record__.%s must be bytes", name);
    throw ErrorAlreadySet();
  }
  return value;
}

}  // namespace

Replay::Replay(PyObject* record, std::size_t dimensions, bool vector) : d_(dimensions) {
  kinds_ = bytes_attribute(record, "kinds");
  points_ = bytes_attribute(record, "points");
  values_ = bytes_attribute(record, "values");
  reply_ = record_attribute(record, "reply");
  mismatch_ = record_attribute(record, "mismatch");
  n_ = static_cast<std::size_t>(PyBytes_GET_SIZE(kinds_.get()));
  if (static_cast<std::size_t>(PyBytes_GET_SIZE(points_.get())) != n_ * d_ * sizeof(double) ||
      static_cast<std::size_t>(PyBytes_GET_SIZE(values_.get())) != (vector ? 0 : n_ * sizeof(double))) {
    PyErr_SetString(PyExc_ValueError, "__swarmix_record__: kinds, points and values differ in length");
    throw ErrorAlreadySet();
  }
  kinds_at_ = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(kinds_.get()));
  points_at_ = PyBytes_AS_STRING(points_.get());
  values_at_ = PyBytes_AS_STRING(values_.get());
}

void Replay::mismatch(std::size_t index) const {
  Ref index_obj = check(PyLong_FromSize_t(index));
  Ref error = check(PyObject_CallOneArg(mismatch_.get(), index_obj.get()));
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
  throw ErrorAlreadySet();
}

Ref Replay::reply(std::size_t index) const {
  Ref index_obj = check(PyLong_FromSize_t(index));
  return check(PyObject_CallOneArg(reply_.get(), index_obj.get()));
}

}  // namespace swarmix::py
