// Fit orchestration: parse and convert fit's arguments under the object's write borrow,
// probe and wrap the objective, run the class's core on a copy of the fitted state and
// commit it only on success.
#include <string>
#include <vector>

#include "algorithms/tour.hpp"
#include "bindings/convert.hpp"
#include "bindings/estimator.hpp"
#include "bindings/objective.hpp"
#include "core/interrupt.hpp"

namespace swarmix::py {

namespace {

// A tour fit calls no Python code, so nothing else would notice a Ctrl-C: every evaluation
// is an interruption point.
class InterruptibleProblem final : public ForwardingProblem {
 public:
  using ForwardingProblem::ForwardingProblem;
  double evaluate(std::span<const double> position) override {
    interruption_point();
    return inner_.evaluate(position);
  }
  // Row by row through evaluate, so that every row is an interruption point.
  void evaluate_group(std::span<const double> points, std::span<double> values) override {
    Problem::evaluate_group(points, values);
  }
};

Bounds convert_bounds(PyObject* lower_obj, PyObject* upper_obj) {
  std::vector<double> lower = to_float_vec(lower_obj, "lower");
  std::vector<double> upper = to_float_vec(upper_obj, "upper");
  auto made = Bounds::make(std::move(lower), std::move(upper));
  if (auto* text = std::get_if<std::string>(&made)) raise_value_error(*text);
  return std::get<Bounds>(std::move(made));
}

// The fit as the objective's wrappers see it (`__swarmix_start__(fit)`).
Ref fit_description(const Estimator* self, const Bounds& bounds, bool vector) {
  Ref seed = self->random_state ? check(PyLong_FromUnsignedLongLong(*self->random_state)) : Ref::borrow(Py_None);
  return check(Py_BuildValue("{s:s,s:N,s:N,s:N,s:N,s:s,s:O}", "class", self->table->name, "params",
                             params_dict(self).release(), "random_state", seed.release(), "lower",
                             float_list(bounds.lower()).release(), "upper", float_list(bounds.upper()).release(),
                             "kind", vector ? "vector" : "scalar", "initial", Py_None));
}

}  // namespace

PyObject* estimator_fit(PyObject* self_obj, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    Estimator* self = as_estimator(self_obj);
    const ClassSpec& table = *self->table;
    // The run works on a copy of the fitted state, committed only on success (after
    // `succeeded`, which may still fail the fit).
    auto run = [&](FitInput& in, auto&& succeeded) {
      Fitted next(self->fitted);
      if (Status status = table.run(Params{table.params, self->values, self->random_state}, in, next))
        raise_value_error(status->display());
      succeeded();
      self->fitted = std::move(next);
    };

    if (table.fit_kind == FitKind::Tour) {
      static const char* keywords[] = {"distance_matrix", nullptr};
      PyObject* matrix_obj;
      if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:fit", const_cast<char**>(keywords), &matrix_obj))
        throw ErrorAlreadySet();
      WriteBorrow borrow(self);
      Matrix matrix = to_matrix(matrix_obj, "distance_matrix");
      if (auto error = validate_distance_matrix(matrix)) raise_value_error(*error);
      DiscreteProblem problem("tsp", std::move(matrix));
      InterruptibleProblem interruptible(problem);
      FitInput in;
      in.problem = &interruptible;
      run(in, [] {});
      Py_RETURN_NONE;
    }

    static const char* keywords[] = {"objective", "lower", "upper", nullptr};
    PyObject *objective_obj, *lower_obj, *upper_obj;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO:fit", const_cast<char**>(keywords), &objective_obj,
                                     &lower_obj, &upper_obj))
      throw ErrorAlreadySet();
    WriteBorrow borrow(self);
    Bounds bounds = convert_bounds(lower_obj, upper_obj);
    const bool multi = table.fit_kind == FitKind::Multi;
    FitObjective objective(objective_obj, bounds.size(), multi,
                           [&] { return fit_description(self, bounds, multi); });
    try {
      // The binary swarm's box only gives the number of bits: its probe is all zeros.
      objective.probe(table.fit_kind == FitKind::Binary ? std::vector<double>(bounds.size(), 0.0)
                                                        : bounds.midpoint());
      FitInput in;
      in.bounds = &bounds;
      if (multi)
        in.vector = &objective.vector_problem();
      else
        in.problem = &objective.problem();
      in.common.observer = objective.observer();
      run(in, [&] { objective.end(); });
    } catch (...) {
      set_error_from_current_exception();
      objective.fail();
      throw ErrorAlreadySet();
    }
    Py_RETURN_NONE;
  });
}

}  // namespace swarmix::py
