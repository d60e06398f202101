#include <new>
#include <stdexcept>

#include "bindings/py.hpp"
#include "core/error.hpp"

namespace swarmix::py {

PyObject* internal_error_type = nullptr;

namespace {
PyObject* internal_error() { return internal_error_type ? internal_error_type : PyExc_RuntimeError; }
}  // namespace

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
