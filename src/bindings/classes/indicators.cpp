// The native side of swarmix.hypervolume, swarmix.igd and swarmix.reference_directions
// (swarmix/_indicators.py): private module functions that convert and check their arguments
// and call the core.
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <string>

#include "algorithms/nsga3.hpp"
#include "algorithms/pareto.hpp"
#include "bindings/convert.hpp"
#include "bindings/registry.hpp"

namespace swarmix::py {

namespace {

[[noreturn]] void value_error(const std::string& text) {
  PyErr_SetString(PyExc_ValueError, text.c_str());
  throw ErrorAlreadySet();
}

// Rows of equal length, one after the other.
struct Table {
  std::vector<double> values;
  std::size_t rows = 0, columns = 0;
};

// A native double: "d", with the native byte order spelt out or not.
bool is_double(const char* format) {
  if (!format) return false;
  const char native = std::endian::native == std::endian::little ? '<' : '>';
  if (*format == '@' || *format == '=' || *format == native) ++format;
  return std::strcmp(format, "d") == 0;
}

// A two-dimensional array of doubles, read through its buffer; false (nothing read) for
// anything else.
bool read_array(PyObject* obj, Table& t) {
  if (!PyObject_CheckBuffer(obj)) return false;
  Py_buffer view;
  if (PyObject_GetBuffer(obj, &view, PyBUF_RECORDS_RO) < 0) {
    PyErr_Clear();  // not exportable as numbers: read as a sequence
    return false;
  }
  struct Release {
    Py_buffer* view;
    ~Release() { PyBuffer_Release(view); }
  } release{&view};
  if (view.ndim != 2 || !is_double(view.format)) return false;
  t.rows = static_cast<std::size_t>(view.shape[0]);
  t.columns = static_cast<std::size_t>(view.shape[1]);
  t.values.resize(checked_mul(t.rows, t.columns));
  const char* base = static_cast<const char*>(view.buf);
  for (std::size_t i = 0; i < t.rows; ++i) {
    const char* row = base + static_cast<Py_ssize_t>(i) * view.strides[0];
    for (std::size_t j = 0; j < t.columns; ++j)
      std::memcpy(&t.values[i * t.columns + j], row + static_cast<Py_ssize_t>(j) * view.strides[1], sizeof(double));
  }
  return true;
}

// `obj` as rows of numbers: a two-dimensional array of doubles, or a sequence of sequences.
// Rows of different lengths and NaN are refused.
Table read_table(PyObject* obj, const char* name) {
  Table t;
  if (!read_array(obj, t)) {
    const Matrix rows = to_matrix(obj, name);
    t.rows = rows.size();
    t.columns = rows.empty() ? 0 : rows[0].size();
    for (std::size_t i = 0; i < rows.size(); ++i) {
      if (rows[i].size() != t.columns)
        value_error(std::string(name) + " must be rows of equal length: row 0 has " + std::to_string(t.columns) +
                    " values, row " + std::to_string(i) + " has " + std::to_string(rows[i].size()));
      t.values.insert(t.values.end(), rows[i].begin(), rows[i].end());
    }
  }
  for (double v : t.values)
    if (std::isnan(v)) value_error(std::string(name) + " must not hold NaN");
  return t;
}

// _hypervolume(points, reference) -> float
PyObject* hypervolume_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&]() -> PyObject* {
    if (nargs != 2) value_error("_hypervolume(points, reference)");
    const std::vector<double> reference = to_float_vec(args[1], "reference");
    const Table points = read_table(args[0], "points");
    if (reference.empty()) value_error("reference must hold one value per objective");
    for (double r : reference)
      if (!std::isfinite(r)) value_error("reference values must be finite");
    if (points.rows > 0 && points.columns != reference.size())
      value_error("points have " + std::to_string(points.columns) + " values each, the reference " +
                  std::to_string(reference.size()));
    return PyFloat_FromDouble(hypervolume_rows(points.values, reference));
  });
}

// _igd(points, reference_front) -> float
PyObject* igd_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&]() -> PyObject* {
    if (nargs != 2) value_error("_igd(points, reference_front)");
    const Table points = read_table(args[0], "points");
    const Table front = read_table(args[1], "reference_front");
    if (points.rows == 0) value_error("points must not be empty");
    if (front.rows == 0) value_error("reference_front must not be empty");
    if (points.columns != front.columns)
      value_error("points have " + std::to_string(points.columns) + " values each, the reference front " +
                  std::to_string(front.columns));
    if (points.columns == 0) value_error("points must hold at least one value each");
    return PyFloat_FromDouble(inverted_generational_distance(points.values, front.values, points.columns));
  });
}

// _reference_directions(n_objectives, n_partitions, inner_partitions) -> list[list[float]]
PyObject* directions_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&]() -> PyObject* {
    if (nargs != 3) value_error("_reference_directions(n_objectives, n_partitions, inner_partitions)");
    const std::uint64_t m = to_count(args[0], "n_objectives");
    const std::uint64_t outer = to_count(args[1], "n_partitions");
    const std::uint64_t inner = to_count(args[2], "inner_partitions");
    if (m == 0) value_error("n_objectives must be at least 1");
    if (outer == 0) value_error("n_partitions must be at least 1");
    // (A lattice whose size overflows cannot be held either.)
    constexpr std::uint64_t most = std::numeric_limits<std::size_t>::max() / 2;
    if (m > most || outer > most || inner > most) throw std::bad_alloc();
    return float_rows(layered_directions(m, outer, inner)).release();
  });
}

template <class F>
PyCFunction fast(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

}  // namespace

PyMethodDef indicator_methods[] = {
    {"_hypervolume", fast(hypervolume_fn), METH_FASTCALL, "_hypervolume(points, reference, /)\n--\n\n"},
    {"_igd", fast(igd_fn), METH_FASTCALL, "_igd(points, reference_front, /)\n--\n\n"},
    {"_reference_directions", fast(directions_fn), METH_FASTCALL,
     "_reference_directions(n_objectives, n_partitions, inner_partitions, /)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace swarmix::py
