// swarmix._testing functions for the tour utilities: the literal 2-opt reference, the tour
// length and the DiscreteProblem objective.
#include "algorithms/tour.hpp"
#include "bindings/convert.hpp"

namespace swarmix::py {
namespace {

PyObject* outcome_to_python(TwoOptOutcome outcome) {
  if (auto* error = std::get_if<OptimizationError>(&outcome)) {
    PyErr_SetString(PyExc_ValueError, error->message().c_str());
    throw ErrorAlreadySet();
  }
  auto& result = std::get<TwoOptResult>(outcome);
  Ref tour = index_list<std::size_t>(result.tour);
  Ref length = check(PyFloat_FromDouble(result.length));
  return check(PyTuple_Pack(2, tour.get(), length.get())).release();
}

void expect_args(Py_ssize_t nargs, Py_ssize_t want, const char* usage) {
  if (nargs != want) {
    PyErr_SetString(PyExc_TypeError, usage);
    throw ErrorAlreadySet();
  }
}

// two_opt_reference(tour, matrix) -> (tour, length): the literal scan.
PyObject* two_opt_reference_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&]() -> PyObject* {
    expect_args(nargs, 2, "two_opt_reference(tour, matrix)");
    return outcome_to_python(two_opt_reference(to_index_vec(args[0], "tour"), to_matrix(args[1], "matrix")));
  });
}

// two_opt_indexed(tour, matrix, list_length, notes) -> (tour, length): two_opt with an index
// of every city of the matrix whose neighbour lists hold list_length entries and whose scan
// notes up to `notes` turned edges per row.
PyObject* two_opt_indexed_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&]() -> PyObject* {
    expect_args(nargs, 4, "two_opt_indexed(tour, matrix, list_length, notes)");
    std::vector<std::size_t> tour = to_index_vec(args[0], "tour");
    Matrix matrix = to_matrix(args[1], "matrix");
    const std::size_t list_length = PyLong_AsSize_t(args[2]);
    if (list_length == static_cast<std::size_t>(-1) && PyErr_Occurred()) throw ErrorAlreadySet();
    const std::size_t notes = PyLong_AsSize_t(args[3]);
    if (notes == static_cast<std::size_t>(-1) && PyErr_Occurred()) throw ErrorAlreadySet();
    if (auto error = validate_distance_matrix(matrix)) {
      PyErr_SetString(PyExc_ValueError, error->c_str());
      throw ErrorAlreadySet();
    }
    const TwoOptIndex index(matrix, list_length, notes);
    return outcome_to_python(two_opt(tour, matrix, index));
  });
}

// two_opt_index_kind(matrix) -> "exact", "rounded" or None: how the neighbour-list scan
// treats the matrix (None: it does not, and two_opt scans every candidate).
PyObject* two_opt_index_kind_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&]() -> PyObject* {
    expect_args(nargs, 1, "two_opt_index_kind(matrix)");
    Matrix matrix = to_matrix(args[0], "matrix");
    if (auto error = validate_distance_matrix(matrix)) {
      PyErr_SetString(PyExc_ValueError, error->c_str());
      throw ErrorAlreadySet();
    }
    const TwoOptIndex index(matrix);
    if (!index.usable()) Py_RETURN_NONE;
    return PyUnicode_FromString(index.exact() ? "exact" : "rounded");
  });
}

// tour_length(tour, matrix) -> float
PyObject* tour_length_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&]() -> PyObject* {
    expect_args(nargs, 2, "tour_length(tour, matrix)");
    return PyFloat_FromDouble(tour_length(to_index_vec(args[0], "tour"), to_matrix(args[1], "matrix")));
  });
}

// discrete_evaluate(position, matrix) -> float: DiscreteProblem("tsp", matrix).evaluate(position)
PyObject* discrete_evaluate_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&]() -> PyObject* {
    expect_args(nargs, 2, "discrete_evaluate(position, matrix)");
    std::vector<double> position = to_float_vec(args[0], "position");
    DiscreteProblem problem("tsp", to_matrix(args[1], "matrix"));
    return PyFloat_FromDouble(problem.evaluate(position));
  });
}

template <auto F>
PyCFunction fastcall() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

}  // namespace

PyMethodDef tours_testing_methods[] = {
    {"two_opt_reference", fastcall<two_opt_reference_fn>(), METH_FASTCALL, nullptr},
    {"two_opt_indexed", fastcall<two_opt_indexed_fn>(), METH_FASTCALL, nullptr},
    {"two_opt_index_kind", fastcall<two_opt_index_kind_fn>(), METH_FASTCALL, nullptr},
    {"tour_length", fastcall<tour_length_fn>(), METH_FASTCALL, nullptr},
    {"discrete_evaluate", fastcall<discrete_evaluate_fn>(), METH_FASTCALL, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace swarmix::py
