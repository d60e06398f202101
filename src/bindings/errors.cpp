#include <new>
#include <stdexcept>

#include "bindings/py.hpp"
#include "core/error.hpp"

namespace swarmix::py {

PyObject* internal_error_type = nullptr;

namespace {
PyObject* internal_error() { return internal_error_type ? internal_error_type : PyExc_RuntimeError; }

// swarmix._errors' UsageError and is_fit_failure (the module imports it lazily: it lives in
// the pure-Python package, which imports this module first).
PyObject* usage_error = nullptr;
PyObject* is_fit_failure = nullptr;
PyObject* fails_fit = nullptr;

void load_errors_module() {
  if (usage_error) return;
  Ref module = check(PyImport_ImportModule("swarmix._errors"));
  Ref type = check(PyObject_GetAttrString(module.get(), "UsageError"));
  Ref predicate = check(PyObject_GetAttrString(module.get(), "is_fit_failure"));
  Ref mark = check(PyObject_GetAttrString(module.get(), "fails_fit"));
  usage_error = type.release();
  is_fit_failure = predicate.release();
  fails_fit = mark.release();
}
}  // namespace

void raise_usage_error(const char* text) {
  load_errors_module();
  PyErr_SetString(usage_error, text);
  throw ErrorAlreadySet();
}

void raise_fit_failure(PyObject* type, const std::string& text) {
  load_errors_module();
  Ref error = check(PyObject_CallFunction(type, "s#", text.data(), static_cast<Py_ssize_t>(text.size())));
  Ref marked = check(PyObject_CallOneArg(fails_fit, error.get()));
  PyErr_SetRaisedException(marked.release());
  throw ErrorAlreadySet();
}

bool ends_fit(PyObject* error) {
  load_errors_module();
  Ref verdict = check(PyObject_CallOneArg(is_fit_failure, error));
  const int yes = PyObject_IsTrue(verdict.get());
  if (yes < 0) throw ErrorAlreadySet();
  return yes != 0;
}

void set_error_from_current_exception() {
  try {
    throw;
  } catch (const ErrorAlreadySet&) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
  } catch (const InternalError& e) {
    PyErr_SetString(internal_error(), e.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(internal_error(), e.what());
  } catch (...) {
    PyErr_SetString(internal_error(), "unknown internal error");
  }
}

}  // namespace swarmix::py
