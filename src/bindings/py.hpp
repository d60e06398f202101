#pragma once
// A small RAII layer over the CPython C API.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace swarmix::py {

// An owned reference.
class Ref {
 public:
  Ref() = default;
  explicit Ref(PyObject* owned) : p_(owned) {}
  static Ref borrow(PyObject* borrowed) { return Ref(Py_XNewRef(borrowed)); }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Ref& operator=(Ref&& o) noexcept {
    if (this != &o) {
      Py_XDECREF(p_);
      p_ = std::exchange(o.p_, nullptr);
    }
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const { return p_; }
  PyObject* release() { return std::exchange(p_, nullptr); }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  PyObject* p_ = nullptr;
};

// Thrown through the core when a Python exception is set and must reach the caller
// unchanged (an error at the probe, a KeyboardInterrupt, a MemoryError, ...).
struct ErrorAlreadySet : std::exception {
  const char* what() const noexcept override { return "a Python exception is set"; }
};

// Throw ErrorAlreadySet when `p` is null, else take ownership.
inline Ref check(PyObject* p) {
  if (!p) throw ErrorAlreadySet();
  return Ref(p);
}

inline Ref float_list(std::span<const double> values) {
  Ref list = check(PyList_New(static_cast<Py_ssize_t>(values.size())));
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyObject* item = PyFloat_FromDouble(values[i]);
    if (!item) throw ErrorAlreadySet();
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list;
}

inline Ref float_rows(const std::vector<std::vector<double>>& rows) {
  Ref list = check(PyList_New(static_cast<Py_ssize_t>(rows.size())));
  for (std::size_t i = 0; i < rows.size(); ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), float_list(rows[i]).release());
  }
  return list;
}

template <class Int>
Ref index_list(std::span<const Int> values) {
  Ref list = check(PyList_New(static_cast<Py_ssize_t>(values.size())));
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyObject* item = PyLong_FromSize_t(static_cast<std::size_t>(values[i]));
    if (!item) throw ErrorAlreadySet();
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list;
}

// The internal-error exception type (derived from BaseException), set by module init.
extern PyObject* internal_error_type;

// swarmix._errors, imported at first need and kept for the life of the process.
// Raise swarmix.UsageError with `text` (swarmix's own objects misused).
[[noreturn]] void raise_usage_error(const char* text);
// Raise `type(text)` marked as the failure of the whole fit (swarmix._errors.fails_fit): an
// error of the fit's own rules met while reading an objective's result, which every wrapper
// passes on.
[[noreturn]] void raise_fit_failure(PyObject* type, const std::string& text);
// Whether `error`, raised inside an objective, fails the whole fit instead of its point
// (swarmix._errors.is_fit_failure). Only the failure paths ask.
bool ends_fit(PyObject* error);

// Set a Python exception from the C++ exception in flight: ErrorAlreadySet leaves the
// pending one, InternalError raises internal_error_type, allocation failures MemoryError.
void set_error_from_current_exception();

// Run `body` and turn any C++ exception into a Python exception (returning null).
template <class F>
PyObject* guarded(F&& body) noexcept {
  try {
    return body();
  } catch (...) {
    set_error_from_current_exception();
    return nullptr;
  }
}

}  // namespace swarmix::py
