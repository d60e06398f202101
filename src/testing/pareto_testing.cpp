// swarmix._testing: the Pareto toolkit, called directly. A point is given by its objective
// vector; where a function returns points, it returns their indices in the input.
#include <string>

#include "algorithms/nsga2_sbx.hpp"
#include "algorithms/pareto.hpp"
#include "bindings/convert.hpp"

namespace swarmix::py {
namespace {

[[noreturn]] void usage(const char* text) {
  PyErr_SetString(PyExc_TypeError, text);
  throw ErrorAlreadySet();
}

// Points whose position is their input index and whose objectives are the given rows.
std::vector<ParetoPoint> points_of(PyObject* rows) {
  Matrix objectives = to_matrix(rows, "objectives");
  std::vector<ParetoPoint> points;
  points.reserve(objectives.size());
  for (std::size_t i = 0; i < objectives.size(); ++i)
    points.push_back({{static_cast<double>(i)}, std::move(objectives[i])});
  return points;
}

Ref pairs_list(const std::vector<std::pair<std::size_t, double>>& pairs) {
  Ref list = check(PyList_New(static_cast<Py_ssize_t>(pairs.size())));
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    PyObject* item = Py_BuildValue("(nd)", static_cast<Py_ssize_t>(pairs[i].first), pairs[i].second);
    if (!item) throw ErrorAlreadySet();
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list;
}

// dominates(a, b) -> bool
PyObject* dominates_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&]() -> PyObject* {
    if (nargs != 2) usage("dominates(a, b)");
    return PyBool_FromLong(dominates(to_float_vec(args[0], "a"), to_float_vec(args[1], "b")));
  });
}

// non_dominated_sort(objectives) -> [[index, ...], ...]
PyObject* sort_fn(PyObject*, PyObject* rows) {
  return guarded([&]() -> PyObject* {
    std::vector<Front> fronts = non_dominated_sort(points_of(rows));
    Ref list = check(PyList_New(static_cast<Py_ssize_t>(fronts.size())));
    for (std::size_t i = 0; i < fronts.size(); ++i)
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), index_list<std::size_t>(fronts[i]).release());
    return list.release();
  });
}

// crowding_distance(objectives, front) -> [(index, distance), ...]
PyObject* crowding_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&]() -> PyObject* {
    if (nargs != 2) usage("crowding_distance(objectives, front)");
    return pairs_list(crowding_distance(points_of(args[0]), to_index_vec(args[1], "front"))).release();
  });
}

// archive_from_population(objectives, archive_size) -> [index, ...] in archive order
PyObject* archive_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&]() -> PyObject* {
    if (nargs != 2) usage("archive_from_population(objectives, archive_size)");
    std::vector<ParetoPoint> archive = archive_from_population(points_of(args[0]), to_count(args[1], "archive_size"));
    std::vector<std::size_t> indices;
    for (const ParetoPoint& p : archive) indices.push_back(static_cast<std::size_t>(p.position[0]));
    return index_list<std::size_t>(indices).release();
  });
}

// hypervolume_2d(objectives, r1, r2) -> float
PyObject* hypervolume_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&]() -> PyObject* {
    if (nargs != 3) usage("hypervolume_2d(objectives, r1, r2)");
    return PyFloat_FromDouble(hypervolume_2d(points_of(args[0]), to_real(args[1], "r1"), to_real(args[2], "r2")));
  });
}

// initialize_continuous_population(seed, lower, upper, n) -> [[float, ...], ...]
PyObject* population_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&]() -> PyObject* {
    if (nargs != 4) usage("initialize_continuous_population(seed, lower, upper, n)");
    StdRng rng = StdRng::from_seed(to_seed(args[0], "seed"));
    auto made = Bounds::make(to_float_vec(args[1], "lower"), to_float_vec(args[2], "upper"));
    if (auto* text = std::get_if<std::string>(&made)) {
      PyErr_SetString(PyExc_ValueError, text->c_str());
      throw ErrorAlreadySet();
    }
    return float_rows(initialize_continuous_population(rng, std::get<Bounds>(made), to_count(args[3], "n"), {})).release();
  });
}

// select_survivors(objectives, n[, violations]) -> [(index, rank, crowding), ...] in survival
// order; with violations (one per point) ranked by constraint-domination (constrained_sort)
PyObject* survivors_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&]() -> PyObject* {
    if (nargs != 2 && nargs != 3) usage("select_survivors(objectives, n[, violations])");
    std::vector<ParetoPoint> points = points_of(args[0]);
    if (nargs == 3) {
      const std::vector<double> violations = to_float_vec(args[2], "violations");
      if (violations.size() != points.size()) usage("one violation per point");
      for (std::size_t i = 0; i < points.size(); ++i) points[i].violation = violations[i];
    }
    const std::size_t n = to_count(args[1], "n");
    const std::vector<Survivor> kept =
        nargs == 3 ? select_survivors(points, constrained_sort(points), n) : select_survivors(points, n);
    Ref list = check(PyList_New(static_cast<Py_ssize_t>(kept.size())));
    for (std::size_t i = 0; i < kept.size(); ++i) {
      PyObject* item = Py_BuildValue("(nnd)", static_cast<Py_ssize_t>(kept[i].index),
                                     static_cast<Py_ssize_t>(kept[i].rank), kept[i].crowding);
      if (!item) throw ErrorAlreadySet();
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
  });
}

// hypervolume(objectives, reference) -> float
PyObject* hypervolume_any_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&]() -> PyObject* {
    if (nargs != 2) usage("hypervolume(objectives, reference)");
    const Matrix rows = to_matrix(args[0], "objectives");
    return PyFloat_FromDouble(hypervolume(rows, to_float_vec(args[1], "reference")));
  });
}

Bounds box_of(PyObject* lower, PyObject* upper) {
  auto made = Bounds::make(to_float_vec(lower, "lower"), to_float_vec(upper, "upper"));
  if (auto* text = std::get_if<std::string>(&made)) {
    PyErr_SetString(PyExc_ValueError, text->c_str());
    throw ErrorAlreadySet();
  }
  return std::get<Bounds>(std::move(made));
}

// sbx(seed, a, b, lower, upper, rate, eta, n) -> [[child_a, child_b], ...]: n crossings of
// the same parents with one random source
PyObject* sbx_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&]() -> PyObject* {
    if (nargs != 8) usage("sbx(seed, a, b, lower, upper, rate, eta, n)");
    StdRng rng = StdRng::from_seed(to_seed(args[0], "seed"));
    const std::vector<double> a = to_float_vec(args[1], "a"), b = to_float_vec(args[2], "b");
    const Bounds box = box_of(args[3], args[4]);
    if (a.size() != box.size() || b.size() != box.size()) usage("parents and box differ in length");
    const double rate = to_real(args[5], "rate"), eta = to_real(args[6], "eta");
    const std::size_t n = to_count(args[7], "n");
    Matrix out;
    for (std::size_t k = 0; k < n; ++k) {
      std::vector<double> x = a, y = b;
      sbx_crossover(rng, box, rate, eta, x, y);
      out.push_back(std::move(x));
      out.push_back(std::move(y));
    }
    return float_rows(out).release();
  });
}

// polynomial_mutation(seed, x, lower, upper, rate, eta, n) -> n mutated copies of x, one
// random source
PyObject* mutation_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&]() -> PyObject* {
    if (nargs != 7) usage("polynomial_mutation(seed, x, lower, upper, rate, eta, n)");
    StdRng rng = StdRng::from_seed(to_seed(args[0], "seed"));
    const std::vector<double> x = to_float_vec(args[1], "x");
    const Bounds box = box_of(args[2], args[3]);
    if (x.size() != box.size()) usage("point and box differ in length");
    const double rate = to_real(args[4], "rate"), eta = to_real(args[5], "eta");
    const std::size_t n = to_count(args[6], "n");
    Matrix out;
    for (std::size_t k = 0; k < n; ++k) {
      std::vector<double> y = x;
      polynomial_mutation(rng, box, rate, eta, y);
      out.push_back(std::move(y));
    }
    return float_rows(out).release();
  });
}

template <class F>
PyCFunction fast(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

}  // namespace

PyMethodDef pareto_testing_functions[] = {
    {"dominates", fast(dominates_fn), METH_FASTCALL, nullptr},
    {"non_dominated_sort", sort_fn, METH_O, nullptr},
    {"crowding_distance", fast(crowding_fn), METH_FASTCALL, nullptr},
    {"archive_from_population", fast(archive_fn), METH_FASTCALL, nullptr},
    {"hypervolume_2d", fast(hypervolume_fn), METH_FASTCALL, nullptr},
    {"initialize_continuous_population", fast(population_fn), METH_FASTCALL, nullptr},
    {"select_survivors", fast(survivors_fn), METH_FASTCALL, nullptr},
    {"hypervolume", fast(hypervolume_any_fn), METH_FASTCALL, nullptr},
    {"sbx", fast(sbx_fn), METH_FASTCALL, nullptr},
    {"polynomial_mutation", fast(mutation_fn), METH_FASTCALL, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace swarmix::py
