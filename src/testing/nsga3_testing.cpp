// swarmix._testing: Nsga3's survival steps, called directly on hand-made values.
#include <string>

#include "algorithms/nsga3.hpp"
#include "bindings/convert.hpp"

namespace swarmix::py {
namespace {

[[noreturn]] void usage(const char* text) {
  PyErr_SetString(PyExc_TypeError, text);
  throw ErrorAlreadySet();
}

// nsga3_normalization(m, steps) -> [(ideal, nadir, extremes, fell_back), ...]: one
// normalisation updated by each step (values, first_front) in turn.
PyObject* normalization_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&]() -> PyObject* {
    if (nargs != 2) usage("nsga3_normalization(m, steps)");
    HyperplaneNormalization normalization(to_count(args[0], "m"));
    Ref it = check(PyObject_GetIter(args[1]));
    Ref out = check(PyList_New(0));
    while (PyObject* raw = PyIter_Next(it.get())) {
      Ref step(raw);
      PyObject *values_obj, *front_obj;
      if (!PyArg_ParseTuple(step.get(), "OO", &values_obj, &front_obj)) throw ErrorAlreadySet();
      const Matrix values = to_matrix(values_obj, "values");
      for (const std::vector<double>& row : values)
        if (row.size() != normalization.ideal().size()) usage("values must have m entries each");
      const std::vector<std::size_t> front = to_index_vec(front_obj, "first_front");
      normalization.update(values, front);
      Ref ideal = float_list(normalization.ideal()), nadir = float_list(normalization.nadir());
      Ref extremes = float_rows(normalization.extremes());
      Ref entry = check(Py_BuildValue("(OOOO)", ideal.get(), nadir.get(), extremes.get(),
                                      normalization.fell_back() ? Py_True : Py_False));
      if (PyList_Append(out.get(), entry.get()) < 0) throw ErrorAlreadySet();
    }
    if (PyErr_Occurred()) throw ErrorAlreadySet();
    return out.release();
  });
}

// nsga3_associate(normalized, directions) -> ([niche, ...], [distance, ...])
PyObject* associate_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&]() -> PyObject* {
    if (nargs != 2) usage("nsga3_associate(normalized, directions)");
    const Niches niches = associate(to_matrix(args[0], "normalized"), to_matrix(args[1], "directions"));
    Ref niche = index_list<std::size_t>(niches.niche), distance = float_list(niches.distance);
    return check(PyTuple_Pack(2, niche.get(), distance.get())).release();
  });
}

// nsga3_survival(seed, values, n, directions[, violations]) -> [index, ...] in survival order
// (a fresh normalisation; the fronts by non_dominated_sort, or with violations, one per member,
// by constrained_sort and the constrained rules)
PyObject* survival_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&]() -> PyObject* {
    if (nargs != 4 && nargs != 5) usage("nsga3_survival(seed, values, n, directions[, violations])");
    StdRng rng = StdRng::from_seed(to_seed(args[0], "seed"));
    const Matrix values = to_matrix(args[1], "values");
    const Matrix directions = to_matrix(args[3], "directions");
    if (directions.empty()) usage("no directions");
    for (const std::vector<double>& row : values)
      if (row.size() != directions[0].size()) usage("values must have one entry per objective");
    const std::vector<double> violations = nargs == 5 ? to_float_vec(args[4], "violations") : std::vector<double>();
    if (nargs == 5 && violations.size() != values.size()) usage("one violation per member");
    const std::span<const std::vector<double>> rows(values);
    HyperplaneNormalization normalization(directions[0].size());
    const std::vector<std::size_t> kept = reference_point_survival(
        rng, values, nargs == 5 ? constrained_sort(rows, violations) : non_dominated_sort(rows),
        to_count(args[2], "n"), directions, normalization, violations);
    return index_list<std::size_t>(kept).release();
  });
}

template <class F>
PyCFunction fast(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

}  // namespace

PyMethodDef nsga3_testing_functions[] = {
    {"nsga3_normalization", fast(normalization_fn), METH_FASTCALL, nullptr},
    {"nsga3_associate", fast(associate_fn), METH_FASTCALL, nullptr},
    {"nsga3_survival", fast(survival_fn), METH_FASTCALL, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace swarmix::py
