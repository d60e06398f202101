#pragma once
// Conversion of Python arguments to core values. Every function throws ErrorAlreadySet
// with the Python exception set; a TypeError names the argument:
// "argument '{name}': {message}".
#include <cstdint>
#include <optional>
#include <vector>

#include "bindings/py.hpp"
#include "core/problem.hpp"

namespace swarmix::py {

// Whole number >= 0 (int or __index__; a float is a TypeError, a negative or too large
// value an OverflowError).
std::uint64_t to_count(PyObject* obj, const char* name);
// float() semantics of the C API.
double to_real(PyObject* obj, const char* name);
// bool or the numpy boolean scalar only.
bool to_bool(PyObject* obj, const char* name);
// A str, looked up in `choices` (null-terminated); any other text gives code 0.
std::uint32_t to_choice(PyObject* obj, const char* name, const char* const* choices);
// None, or an int in [0, 2^64).
std::optional<std::uint64_t> to_seed(PyObject* obj, const char* name);

// Sequence of floats (a str is refused). `name` may be null: no argument prefix.
std::vector<double> to_float_vec(PyObject* obj, const char* name);
// An objective's value: whatever float() takes (an int, a Fraction, a Decimal, a 0-d array)
// but a complex value (a Python complex, numpy's complex scalars, an array of a complex dtype),
// which float() would refuse or cut to its real part. When it is none: -1.0 with the error set
// (a TypeError "the objective value is complex: ..." for a complex value), as PyFloat_AsDouble.
double non_float_value(PyObject* obj);  // (anything but a float)
inline double to_value(PyObject* obj) {
  return PyFloat_CheckExact(obj) ? PyFloat_AS_DOUBLE(obj) : non_float_value(obj);
}
// A sequence of objective values (a str is refused).
std::vector<double> to_value_vec(PyObject* obj);
// Sequence of sequences of floats; rows may differ in length.
Matrix to_matrix(PyObject* obj, const char* name);
// One point (a sequence of floats) or several (a sequence of sequences of floats), told apart
// by the first item; an empty sequence gives no point.
Matrix to_points(PyObject* obj, const char* name);
// Sequence of non-negative integers.
std::vector<std::size_t> to_index_vec(PyObject* obj, const char* name);
// A count given to fit (int or __index__): a negative one is a ValueError
// "{name} must not be negative, not {value}".
std::uint64_t to_fit_count(PyObject* obj, const char* name);
// A selection of coordinates among d: None, a sequence of distinct indices, or a sequence of d
// booleans (Python's or numpy's); as a mask of d flags, empty when nothing is selected. An
// index out of range, a repeated index, or booleans of another number is a ValueError;
// booleans and indices mixed are a TypeError.
std::vector<bool> to_selection(PyObject* obj, const char* name, std::size_t d);

}  // namespace swarmix::py
