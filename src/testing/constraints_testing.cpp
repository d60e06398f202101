// swarmix._testing: the core's constraint handling and integer rounding, called directly. A
// point is given by its row: the objective values, then the inequality and equality values.
#include "algorithms/pareto.hpp"
#include "bindings/convert.hpp"
#include "core/constraints.hpp"

namespace swarmix::py {
namespace {

ConstraintCounts counts_of(PyObject* inequalities, PyObject* equalities) {
  return {to_count(inequalities, "n_inequalities"), to_count(equalities, "n_equalities")};
}

void arguments(Py_ssize_t nargs, Py_ssize_t expected, const char* usage) {
  if (nargs == expected) return;
  PyErr_SetString(PyExc_TypeError, usage);
  throw ErrorAlreadySet();
}

// The row's length against the counts (the frame checks it before the core sees a row).
std::vector<double> row_of(PyObject* obj, const ConstraintCounts& counts, std::size_t objectives) {
  std::vector<double> row = to_float_vec(obj, "row");
  if (row.size() < objectives + counts.total()) {
    PyErr_SetString(PyExc_ValueError, "a row shorter than its counts");
    throw ErrorAlreadySet();
  }
  return row;
}

// standing(row, n_inequalities, n_equalities) -> (value, violation) of a single-objective row
PyObject* standing_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&]() -> PyObject* {
    arguments(nargs, 3, "standing(row, n_inequalities, n_equalities)");
    const ConstraintCounts counts = counts_of(args[1], args[2]);
    const Standing s = standing_of(row_of(args[0], counts, 1), counts);
    return Py_BuildValue("(dd)", s.value, s.violation);
  });
}

// deb_best(rows, n_inequalities, n_equalities) -> the index of the first best row under Deb's
// order, and for each row whether it is better than / not worse than the next one
PyObject* deb_best_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&]() -> PyObject* {
    arguments(nargs, 3, "deb_best(rows, n_inequalities, n_equalities)");
    const ConstraintCounts counts = counts_of(args[1], args[2]);
    Matrix rows = to_matrix(args[0], "rows");
    std::vector<Standing> standings;
    for (const auto& row : rows) {
      if (row.size() != 1 + counts.total()) {
        PyErr_SetString(PyExc_ValueError, "a row of another length than its counts");
        throw ErrorAlreadySet();
      }
      standings.push_back(standing_of(row, counts));
    }
    std::size_t best = 0;
    for (std::size_t i = 1; i < standings.size(); ++i)
      if (better(standings[i], standings[best])) best = i;
    Ref pairs = check(PyList_New(0));
    for (std::size_t i = 0; i + 1 < standings.size(); ++i) {
      Ref pair = check(Py_BuildValue("(OO)", better(standings[i], standings[i + 1]) ? Py_True : Py_False,
                                     not_worse(standings[i], standings[i + 1]) ? Py_True : Py_False));
      if (PyList_Append(pairs.get(), pair.get()) < 0) throw ErrorAlreadySet();
    }
    return Py_BuildValue("(nN)", static_cast<Py_ssize_t>(best), pairs.release());
  });
}

// constraint_dominates(a, b, n_objectives, n_inequalities, n_equalities) -> bool, for rows of
// n_objectives objective values and then the constraint values
PyObject* constraint_dominates_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&]() -> PyObject* {
    arguments(nargs, 5, "constraint_dominates(a, b, n_objectives, n_inequalities, n_equalities)");
    const std::size_t m = to_count(args[2], "n_objectives");
    const ConstraintCounts counts = counts_of(args[3], args[4]);
    const std::vector<double> a = row_of(args[0], counts, m), b = row_of(args[1], counts, m);
    const bool yes = constraint_dominates(row_violation(a, counts), row_violation(b, counts), [&] {
      return dominates(std::span<const double>(a).first(m), std::span<const double>(b).first(m));
    });
    return PyBool_FromLong(yes);
  });
}

// round_integers(x, indices, lower, upper) -> x rounded at the indices
PyObject* round_integers_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&]() -> PyObject* {
    arguments(nargs, 4, "round_integers(x, indices, lower, upper)");
    std::vector<double> x = to_float_vec(args[0], "x");
    const std::vector<std::size_t> indices = to_index_vec(args[1], "indices");
    const std::vector<double> lower = to_float_vec(args[2], "lower"), upper = to_float_vec(args[3], "upper");
    for (std::size_t j : indices) {
      if (j >= x.size() || j >= lower.size() || j >= upper.size()) {
        PyErr_SetString(PyExc_ValueError, "an index past the point or its bounds");
        throw ErrorAlreadySet();
      }
    }
    round_integers(x.data(), indices, lower, upper);
    return float_list(x).release();
  });
}

PyCFunction fast(PyObject* (*f)(PyObject*, PyObject* const*, Py_ssize_t)) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

}  // namespace

PyMethodDef constraints_testing_functions[] = {
    {"standing", fast(standing_fn), METH_FASTCALL, nullptr},
    {"deb_best", fast(deb_best_fn), METH_FASTCALL, nullptr},
    {"constraint_dominates", fast(constraint_dominates_fn), METH_FASTCALL, nullptr},
    {"round_integers", fast(round_integers_fn), METH_FASTCALL, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace swarmix::py
