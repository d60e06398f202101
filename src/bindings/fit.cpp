// Fit orchestration: parse and convert fit's arguments under the object's write borrow,
// probe and wrap the objective, run the class's core on a copy of the fitted state and
// commit it only on success.
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "algorithms/tour.hpp"
#include "bindings/convert.hpp"
#include "bindings/estimator.hpp"
#include "bindings/objective.hpp"
#include "core/decimal.hpp"
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

// How many points `initial` may give this object's fit, and what sets that number.
std::pair<std::size_t, std::string> start_capacity(const Estimator& self) {
  const ClassSpec& table = *self.table;
  const StartCapacity& start = table.start;
  if (!start.param) return {1, "one start point"};
  for (std::size_t i = 0; i < table.params.size(); ++i) {
    if (std::strcmp(table.params[i].name, start.param) != 0) continue;
    // An optional count left at None: the search checks the rows against the size it chooses.
    if (self.values[i].none) return {std::numeric_limits<std::size_t>::max(), start.param};
    const std::size_t n = self.values[i].count;
    if (!start.of) return {n, start.param};
    return {start.of(n), std::string("from ") + start.param};
  }
  throw InternalError("the start capacity names no hyperparameter");
}

// The points of `initial` (None: none) for a fit over d coordinates (tours: d cities; `box`:
// the box of a continuous or multi-objective fit). Checked before the objective is first
// called: no more points than the class holds, d coordinates each, no NaN, inside the box
// (never clipped), bits 0 or 1, tours permutations of the cities.
Matrix convert_initial(PyObject* obj, const Estimator& self, std::size_t d, const Bounds* box) {
  if (obj == Py_None) return {};
  Matrix rows = to_points(obj, "initial");
  const ClassSpec& table = *self.table;
  const auto [capacity, set_by] = start_capacity(self);
  if (rows.size() > capacity) {
    raise_value_error("initial has " + std::to_string(rows.size()) + (rows.size() == 1 ? " point; " : " points; ") +
                      table.name + " holds " + std::to_string(capacity) + " (" + set_by + ")");
  }
  for (std::size_t r = 0; r < rows.size(); ++r) {
    const std::vector<double>& row = rows[r];
    const std::string at = "initial row " + std::to_string(r);
    if (table.fit_kind == FitKind::Tour) {
      if (row.size() != d || !is_city_permutation(row))
        raise_value_error(at + " is not a tour: a permutation of the cities 0 to " + std::to_string(d - 1));
      continue;
    }
    if (row.size() != d)
      raise_value_error(at + " has length " + std::to_string(row.size()) + ", not " + std::to_string(d));
    for (std::size_t j = 0; j < d; ++j) {
      const double v = row[j];
      auto refuse = [&](const std::string& why) {
        raise_value_error(at + ", coordinate " + std::to_string(j) + " is " + decimal_text(v) + why);
      };
      if (std::isnan(v)) refuse("");
      if (!box) {
        if (v != 0.0 && v != 1.0) refuse(", not a bit (0 or 1)");
      } else if (v < box->lower()[j] || v > box->upper()[j]) {
        refuse(", outside the box [" + decimal_text(box->lower()[j]) + ", " + decimal_text(box->upper()[j]) + "]");
      }
    }
  }
  return rows;
}

// The fit as the objective's wrappers see it (`__swarmix_start__(fit)`).
Ref fit_description(const Estimator* self, const Bounds& bounds, bool vector, const Matrix& initial) {
  Ref seed = self->random_state ? check(PyLong_FromUnsignedLongLong(*self->random_state)) : Ref::borrow(Py_None);
  Ref rows = initial.empty() ? Ref::borrow(Py_None) : float_rows(initial);
  return check(Py_BuildValue("{s:s,s:N,s:N,s:N,s:N,s:s,s:O,s:N}", "class", self->table->name, "params",
                             params_dict(self).release(), "random_state", seed.release(), "lower",
                             float_list(bounds.lower()).release(), "upper", float_list(bounds.upper()).release(),
                             "kind", vector ? "vector" : "scalar", "initial", rows.get(), "read_group",
                             make_group_reader(vector).release()));
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
      static const char* keywords[] = {"distance_matrix", "initial", nullptr};
      PyObject *matrix_obj, *initial_obj = Py_None;
      if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$O:fit", const_cast<char**>(keywords), &matrix_obj,
                                       &initial_obj))
        throw ErrorAlreadySet();
      WriteBorrow borrow(self);
      Matrix matrix = to_matrix(matrix_obj, "distance_matrix");
      if (auto error = validate_distance_matrix(matrix)) raise_value_error(*error);
      FitInput in;
      in.common.initial = convert_initial(initial_obj, *self, matrix.size(), nullptr);
      DiscreteProblem problem("tsp", std::move(matrix));
      InterruptibleProblem interruptible(problem);
      in.problem = &interruptible;
      run(in, [] {});
      Py_RETURN_NONE;
    }

    static const char* keywords[] = {"objective", "lower", "upper", "initial", nullptr};
    PyObject *objective_obj, *lower_obj, *upper_obj, *initial_obj = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO|$O:fit", const_cast<char**>(keywords), &objective_obj,
                                     &lower_obj, &upper_obj, &initial_obj))
      throw ErrorAlreadySet();
    WriteBorrow borrow(self);
    Bounds bounds = convert_bounds(lower_obj, upper_obj);
    const bool binary = table.fit_kind == FitKind::Binary;
    const bool multi = table.fit_kind == FitKind::Multi;
    FitInput in;
    in.common.initial = convert_initial(initial_obj, *self, bounds.size(), binary ? nullptr : &bounds);
    FitObjective objective(objective_obj, bounds.size(), multi,
                           [&] { return fit_description(self, bounds, multi, in.common.initial); });
    try {
      // The binary swarm's box only gives the number of bits: its probe is all zeros.
      in.n_objectives = objective.probe(binary ? std::vector<double>(bounds.size(), 0.0) : bounds.midpoint());
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
