// swarmix._testing: direct access to core pieces for the test suite (the random source,
// decimal text, box clamping; tours, Pareto utilities, Nsga3's survival and constraints in the
// files beside this one).
// Not part of the public API.
#include <string>

#include "algorithms/cma_es.hpp"
#include "algorithms/swarm_common.hpp"
#include "algorithms/symmetric_eigen.hpp"
#include "bindings/convert.hpp"
#include "core/bounds.hpp"
#include "core/decimal.hpp"
#include "random/std_rng.hpp"

namespace swarmix::py {

namespace {

[[noreturn]] void value_error(const std::string& text) {
  PyErr_SetString(PyExc_ValueError, text.c_str());
  throw ErrorAlreadySet();
}

// rng(seed, ops): runs ops = [(name, arg), ...] on one generator seeded with seed_from_u64
// (or from entropy for None) and returns one result per op.
PyObject* rng(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&]() -> PyObject* {
    if (nargs != 2) value_error("rng(seed, ops)");
    StdRng r = StdRng::from_seed(to_seed(args[0], "seed"));
    Ref it = check(PyObject_GetIter(args[1]));
    Ref out = check(PyList_New(0));
    while (PyObject* raw = PyIter_Next(it.get())) {
      Ref op(raw);
      const char* name;
      unsigned long long arg = 0;
      if (!PyArg_ParseTuple(op.get(), "s|K", &name, &arg)) throw ErrorAlreadySet();
      std::string n = name;
      Ref value;
      if (n == "u32") value = check(PyLong_FromUnsignedLong(r.next_u32()));
      else if (n == "u64") value = check(PyLong_FromUnsignedLongLong(r.next_u64()));
      else if (n == "u01") value = check(PyFloat_FromDouble(r.u01()));
      else if (n == "n01") value = check(PyFloat_FromDouble(r.n01()));
      else if (n == "index") value = check(PyLong_FromUnsignedLongLong(r.index(arg)));
      else if (n == "index32") value = check(PyLong_FromUnsignedLong(r.index32(static_cast<std::uint32_t>(arg))));
      else if (n == "choose") value = check(PyLong_FromUnsignedLongLong(r.slice_index(arg)));
      else if (n == "shuffle") {
        std::vector<std::size_t> items(arg);
        for (std::size_t i = 0; i < items.size(); ++i) items[i] = i;
        r.shuffle(items);
        value = index_list<std::size_t>(items);
      } else value_error("unknown op " + n);
      if (PyList_Append(out.get(), value.get()) < 0) throw ErrorAlreadySet();
    }
    if (PyErr_Occurred()) throw ErrorAlreadySet();
    return out.release();
  });
}

PyObject* decimal(PyObject*, PyObject* arg) {
  return guarded([&]() -> PyObject* {
    std::string text = decimal_text(to_real(arg, "value"));
    return PyUnicode_FromString(text.c_str());
  });
}

// clamp(lower, upper, position) -> clamped position
PyObject* clamp(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&]() -> PyObject* {
    if (nargs != 3) value_error("clamp(lower, upper, position)");
    auto made = Bounds::make(to_float_vec(args[0], "lower"), to_float_vec(args[1], "upper"));
    if (auto* text = std::get_if<std::string>(&made)) value_error(*text);
    std::vector<double> position = to_float_vec(args[2], "position");
    std::get<Bounds>(made).clamp(position);
    return float_list(position).release();
  });
}

// cma_weights(lambda) -> (weights, mu_eff)
PyObject* cma_weights(PyObject*, PyObject* arg) {
  return guarded([&]() -> PyObject* {
    auto [weights, mu_eff] = recombination_weights(to_count(arg, "lambda"));
    Ref list = float_list(weights);
    return check(Py_BuildValue("(Od)", list.get(), mu_eff)).release();
  });
}

// cma_rank(values) -> the sample indices in rank order
PyObject* cma_rank(PyObject*, PyObject* arg) {
  return guarded([&]() -> PyObject* {
    std::vector<double> values = to_float_vec(arg, "values");
    std::vector<std::size_t> order;
    rank_best_first(order, values);
    return index_list<std::size_t>(order).release();
  });
}

// symmetric_eigen(matrix) -> (eigenvalues, eigenvectors) or None: the eigendecomposition of a
// square matrix read as symmetric (its upper triangle), the eigenvalues ascending, row k of
// the eigenvectors that of eigenvalue k; None when it fails.
PyObject* symmetric_eigen_py(PyObject*, PyObject* arg) {
  return guarded([&]() -> PyObject* {
    Matrix rows = to_matrix(arg, "matrix");
    const std::size_t n = rows.size();
    std::vector<double> a;
    for (const auto& row : rows) {
      if (row.size() != n) value_error("the matrix must be square");
      a.insert(a.end(), row.begin(), row.end());
    }
    std::vector<double> values, vectors;
    if (!symmetric_eigen(n, a, values, vectors)) Py_RETURN_NONE;
    Ref value_list = float_list(values);
    Ref vector_rows = float_rows(split_rows(vectors, n));
    return check(PyTuple_Pack(2, value_list.get(), vector_rows.get())).release();
  });
}

PyMethodDef functions[] = {
    {"rng", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(rng)), METH_FASTCALL, nullptr},
    {"decimal_text", decimal, METH_O, nullptr},
    {"clamp", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(clamp)), METH_FASTCALL, nullptr},
    {"cma_weights", cma_weights, METH_O, nullptr},
    {"cma_rank", cma_rank, METH_O, nullptr},
    {"symmetric_eigen", symmetric_eigen_py, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_testing", "Core access for swarmix's tests.", -1, functions,
                          nullptr, nullptr, nullptr, nullptr};

}  // namespace

// Function tables defined in other files of this module.
extern PyMethodDef pareto_testing_functions[];
extern PyMethodDef nsga3_testing_functions[];
extern PyMethodDef tours_testing_methods[];
extern PyMethodDef constraints_testing_functions[];

}  // namespace swarmix::py

PyMODINIT_FUNC PyInit__testing(void) {
  using namespace swarmix::py;
  PyObject* module = PyModule_Create(&module_def);
  if (!module) return nullptr;
  for (PyMethodDef* extra :
       {pareto_testing_functions, nsga3_testing_functions, tours_testing_methods, constraints_testing_functions}) {
    if (PyModule_AddFunctions(module, extra) < 0) {
      Py_DECREF(module);
      return nullptr;
    }
  }
  return module;
}
