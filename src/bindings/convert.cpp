#include "bindings/convert.hpp"

#include <algorithm>
#include <cstring>
#include <string>

namespace swarmix::py {

namespace {

// Re-raise a pending TypeError as "argument '{name}': {message}"; others pass unchanged.
[[noreturn]] void fail(const char* name) {
  if (name && PyErr_ExceptionMatches(PyExc_TypeError)) {
    Ref exc(PyErr_GetRaisedException());
    Ref text(PyObject_Str(exc.get()));
    if (!text) throw ErrorAlreadySet();
    PyErr_Format(PyExc_TypeError, "argument '%s': %U", name, text.get());
  }
  throw ErrorAlreadySet();
}

[[noreturn]] void type_error(const char* name, const char* format, PyObject* obj) {
  PyErr_Format(PyExc_TypeError, format, Py_TYPE(obj)->tp_name);
  fail(name);
}

bool is_numpy_bool(PyObject* obj) {
  const char* t = Py_TYPE(obj)->tp_name;
  return std::strcmp(t, "numpy.bool") == 0 || std::strcmp(t, "numpy.bool_") == 0;
}

// The outer-object rule shared by every sequence argument: no str, must be a sequence.
Ref iterate_sequence(PyObject* obj, const char* name) {
  if (PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    fail(name);
  }
  if (!PySequence_Check(obj)) type_error(name, "'%.200s' object cannot be converted to 'Sequence'", obj);
  Ref it(PyObject_GetIter(obj));
  if (!it) fail(name);
  return it;
}

std::size_t size_hint(PyObject* obj) {
  Py_ssize_t n = PySequence_Size(obj);
  if (n < 0) {
    // An ordinary failure of __len__ only costs the hint; a KeyboardInterrupt raised in it
    // (or any other non-Exception) must not be lost.
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw ErrorAlreadySet();
    PyErr_Clear();
    return 0;
  }
  // Only a hint: a huge __len__ must not turn into a huge reservation.
  return std::min(static_cast<std::size_t>(n), std::size_t{1} << 16);
}

template <class F>
void for_each_item(PyObject* obj, const char* name, F&& take) {
  Ref it = iterate_sequence(obj, name);
  while (PyObject* raw = PyIter_Next(it.get())) {
    Ref item(raw);
    take(item.get());
  }
  if (PyErr_Occurred()) fail(name);
}

double real_item(PyObject* obj, const char* name) {
  if (PyFloat_CheckExact(obj)) return PyFloat_AS_DOUBLE(obj);
  double v = PyFloat_AsDouble(obj);
  if (v == -1.0 && PyErr_Occurred()) fail(name);
  return v;
}

// Whether `value` is complex (numpy's complex64 and clongdouble are no Python complex: their
// dtype's kind tells); true with the error set for one, or when asking failed.
bool is_complex(PyObject* value) {
  if (PyFloat_Check(value) || PyLong_Check(value)) return false;
  if (!PyComplex_Check(value)) {
    static PyObject* const complex_name = PyUnicode_InternFromString("__complex__");
    static PyObject* const dtype_name = PyUnicode_InternFromString("dtype");
    static PyObject* const kind_name = PyUnicode_InternFromString("kind");
    if (!complex_name || !dtype_name || !kind_name) throw ErrorAlreadySet();
    if (!_PyType_Lookup(Py_TYPE(value), complex_name) || !_PyType_Lookup(Py_TYPE(value), dtype_name)) return false;
    Ref dtype(PyObject_GetAttr(value, dtype_name));
    if (!dtype) return true;
    Ref kind(PyObject_GetAttr(dtype.get(), kind_name));
    if (!kind) {
      if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return true;
      PyErr_Clear();
      return false;
    }
    if (!PyUnicode_Check(kind.get()) || PyUnicode_CompareWithASCIIString(kind.get(), "c") != 0) return false;
  }
  PyErr_Format(PyExc_TypeError, "the objective value is complex: %R", value);
  return true;
}

}  // namespace

std::uint64_t to_count(PyObject* obj, const char* name) {
  Ref index(PyNumber_Index(obj));
  if (!index) fail(name);
  unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) fail(name);
  return v;
}

double to_real(PyObject* obj, const char* name) { return real_item(obj, name); }

bool to_bool(PyObject* obj, const char* name) {
  if (PyBool_Check(obj)) return obj == Py_True;
  if (is_numpy_bool(obj)) {
    int truth = PyObject_IsTrue(obj);
    if (truth < 0) fail(name);
    return truth != 0;
  }
  type_error(name, "'%.200s' object cannot be converted to 'PyBool'", obj);
}

std::uint32_t to_choice(PyObject* obj, const char* name, const char* const* choices) {
  if (!PyUnicode_Check(obj)) type_error(name, "'%.200s' object cannot be converted to 'PyString'", obj);
  // Compared code point by code point, without encoding: a text that has no UTF-8 form (a
  // lone surrogate) is just another unknown name.
  const auto length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(obj));
  for (std::uint32_t code = 0; choices[code]; ++code) {
    if (std::strlen(choices[code]) == length && PyUnicode_CompareWithASCIIString(obj, choices[code]) == 0)
      return code;
  }
  return 0;
}

std::optional<std::uint64_t> to_seed(PyObject* obj, const char* name) {
  if (obj == Py_None) return std::nullopt;
  return to_count(obj, name);
}

std::vector<double> to_float_vec(PyObject* obj, const char* name) {
  std::vector<double> out;
  out.reserve(size_hint(obj));
  for_each_item(obj, name, [&](PyObject* item) { out.push_back(real_item(item, name)); });
  return out;
}

double non_float_value(PyObject* obj) { return is_complex(obj) ? -1.0 : PyFloat_AsDouble(obj); }

std::vector<double> to_value_vec(PyObject* obj) {
  std::vector<double> out;
  out.reserve(size_hint(obj));
  for_each_item(obj, nullptr, [&](PyObject* item) {
    const double v = to_value(item);
    if (v == -1.0 && PyErr_Occurred()) throw ErrorAlreadySet();
    out.push_back(v);
  });
  return out;
}

Matrix to_matrix(PyObject* obj, const char* name) {
  Matrix out;
  out.reserve(size_hint(obj));
  for_each_item(obj, name, [&](PyObject* row) { out.push_back(to_float_vec(row, name)); });
  return out;
}

Matrix to_points(PyObject* obj, const char* name) {
  Ref it = iterate_sequence(obj, name);
  Ref first(PyIter_Next(it.get()));
  if (!first) {
    if (PyErr_Occurred()) fail(name);
    return {};
  }
  if (PySequence_Check(first.get())) return to_matrix(obj, name);
  return {to_float_vec(obj, name)};
}

std::vector<std::size_t> to_index_vec(PyObject* obj, const char* name) {
  std::vector<std::size_t> out;
  out.reserve(size_hint(obj));
  for_each_item(obj, name, [&](PyObject* item) { out.push_back(to_count(item, name)); });
  return out;
}

std::uint64_t to_fit_count(PyObject* obj, const char* name) {
  Ref index(PyNumber_Index(obj));
  if (!index) fail(name);
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (v == -1 && PyErr_Occurred()) fail(name);
  if (overflow < 0 || v < 0) {
    PyErr_Format(PyExc_ValueError, "%s must not be negative, not %S", name, index.get());
    throw ErrorAlreadySet();
  }
  if (overflow > 0) {
    PyErr_Format(PyExc_OverflowError, "%s is too large: %S", name, index.get());
    throw ErrorAlreadySet();
  }
  return static_cast<std::uint64_t>(v);
}

std::vector<bool> to_selection(PyObject* obj, const char* name, std::size_t d) {
  if (obj == Py_None) return {};
  std::vector<Ref> items;
  for_each_item(obj, name, [&](PyObject* item) { items.push_back(Ref::borrow(item)); });
  std::size_t flags = 0;
  for (const Ref& item : items) flags += PyBool_Check(item.get()) || is_numpy_bool(item.get());
  auto refuse = [&](const std::string& text) {
    PyErr_SetString(PyExc_ValueError, (std::string(name) + " " + text).c_str());
    throw ErrorAlreadySet();
  };
  std::vector<bool> mask(d, false);
  if (flags != 0 && flags == items.size()) {
    if (items.size() != d)
      refuse("has " + std::to_string(items.size()) + (items.size() == 1 ? " boolean for " : " booleans for ") +
             std::to_string(d) + (d == 1 ? " coordinate" : " coordinates"));
    for (std::size_t j = 0; j < d; ++j) {
      const int truth = PyObject_IsTrue(items[j].get());
      if (truth < 0) fail(name);
      mask[j] = truth != 0;
    }
  } else {
    if (flags != 0) {
      PyErr_Format(PyExc_TypeError, "argument '%s': booleans and indices mixed", name);
      throw ErrorAlreadySet();
    }
    for (const Ref& item : items) {
      Ref index(PyNumber_Index(item.get()));
      if (!index) fail(name);
      int overflow = 0;
      const long long j = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
      if (j == -1 && PyErr_Occurred()) fail(name);
      if (overflow != 0 || j < 0 || static_cast<unsigned long long>(j) >= d) {
        PyErr_Format(PyExc_ValueError, "%s index %S is out of range for %zu coordinate%s", name, index.get(), d,
                     d == 1 ? "" : "s");
        throw ErrorAlreadySet();
      }
      if (mask[static_cast<std::size_t>(j)]) refuse("repeats index " + std::to_string(j));
      mask[static_cast<std::size_t>(j)] = true;
    }
  }
  if (std::find(mask.begin(), mask.end(), true) == mask.end()) return {};
  return mask;
}

}  // namespace swarmix::py
