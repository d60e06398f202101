// The module function two_opt(tour, distance_matrix) -> (list[int], float).
#include "algorithms/tour.hpp"
#include "bindings/convert.hpp"
#include "bindings/registry.hpp"

namespace swarmix::py {

namespace {

PyObject* two_opt_function(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"tour", "distance_matrix", nullptr};
    PyObject *tour_obj, *matrix_obj;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:two_opt", const_cast<char**>(keywords), &tour_obj,
                                     &matrix_obj))
      throw ErrorAlreadySet();
    std::vector<std::size_t> tour = to_index_vec(tour_obj, "tour");
    Matrix matrix = to_matrix(matrix_obj, "distance_matrix");
    TwoOptOutcome outcome = two_opt(tour, matrix);
    if (auto* error = std::get_if<OptimizationError>(&outcome)) {
      // The bare message, without the kind prefix.
      PyErr_SetString(PyExc_ValueError, error->message().c_str());
      throw ErrorAlreadySet();
    }
    auto& result = std::get<TwoOptResult>(outcome);
    Ref tour_list = index_list<std::size_t>(result.tour);
    Ref length = check(PyFloat_FromDouble(result.length));
    return check(PyTuple_Pack(2, tour_list.get(), length.get())).release();
  });
}

}  // namespace

PyMethodDef two_opt_method = {"two_opt",
                              reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(two_opt_function)),
                              METH_VARARGS | METH_KEYWORDS, "two_opt(tour, distance_matrix)\n--\n\n"};

}  // namespace swarmix::py
