#include "bindings/adapters.hpp"

#include <limits>

#include "bindings/convert.hpp"

namespace swarmix::py {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

Ref call_with_list(PyObject* callable, ArgumentList* list, std::span<const double> position) {
  if (PyErr_CheckSignals() < 0) throw ErrorAlreadySet();
  PyObject* args[2] = {nullptr, list->fill(position)};
  return Ref(PyObject_Vectorcall(callable, args + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// The pending exception is either swallowed (an ordinary failure during the search) or
// must stop the fit.
void absorb_failure(bool strict) {
  if (strict || !PyErr_ExceptionMatches(PyExc_Exception)) throw ErrorAlreadySet();
  PyErr_Clear();
}

}  // namespace

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

// During the search a NaN value counts as +inf, like a failed call: it can never become
// the best value. The probe passes a NaN through (it is a number).
double ScalarAdapter::operator()(std::span<const double> position) const {
  Ref result = call_with_list(callable_, args_, position);
  if (result) {
    double v = PyFloat_CheckExact(result.get()) ? PyFloat_AS_DOUBLE(result.get()) : PyFloat_AsDouble(result.get());
    if (!(v == -1.0 && PyErr_Occurred())) return v != v && !strict_ ? kInf : v;
  }
  absorb_failure(strict_);
  return kInf;
}

std::vector<double> VectorAdapter::operator()(std::span<const double> position) const {
  Ref result = call_with_list(callable_, args_, position);
  if (result) {
    try {
      std::vector<double> values = to_float_vec(result.get(), nullptr);
      if (!strict_)
        for (double& v : values)
          if (v != v) v = kInf;
      return values;
    } catch (const ErrorAlreadySet&) {
    }
  }
  absorb_failure(strict_);
  return {kInf};
}

}  // namespace swarmix::py
