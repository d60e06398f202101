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

// The keywords every fit takes beside `initial`: the constraint counts and the integer
// coordinates among d, converted and checked, then refused by a class that does not handle
// them (a ValueError naming the classes that do); an integer coordinate's bounds (`box`, for
// the fits that have one) must be whole numbers. Nothing is called before.
void convert_keywords(const ClassSpec& table, PyObject* n_constraints, PyObject* n_equalities, PyObject* integer,
                      std::size_t d, const Bounds* box, FitCommon& common) {
  ConstraintCounts counts;
  if (n_constraints) counts.inequalities = to_fit_count(n_constraints, "n_constraints");
  if (n_equalities) counts.equalities = to_fit_count(n_equalities, "n_equalities");
  std::vector<bool> mask = to_selection(integer, "integer", d);
  if (counts.any() && !table.constraints)
    raise_value_error(std::string(table.name) + " does not handle constraints (n_constraints, n_equalities); " +
                      "classes that do: " + classes_with(&ClassSpec::constraints));
  if (!mask.empty() && !table.integers)
    raise_value_error(std::string(table.name) + " does not handle integer coordinates (integer); classes that do: " +
                      classes_with(&ClassSpec::integers));
  for (std::size_t j = 0; box && j < mask.size(); ++j) {
    const double lo = box->lower()[j], hi = box->upper()[j];
    if (mask[j] && !(lo == std::floor(lo) && hi == std::floor(hi)))
      raise_value_error("the bounds of integer coordinate " + std::to_string(j) + " must be whole numbers, not [" +
                        decimal_text(lo) + ", " + decimal_text(hi) + "]");
  }
  common.constraints = counts;
  common.integer = std::move(mask);
}

// The points of `initial` (None: none) for a fit over d coordinates (tours: d cities; `box`:
// the box of a continuous or multi-objective fit; `integer`: its integer coordinates).
// Checked before the objective is first called: no more points than the class holds, d
// coordinates each, no NaN, inside the box (never clipped), whole at the integer coordinates,
// bits 0 or 1, tours permutations of the cities.
Matrix convert_initial(PyObject* obj, const Estimator& self, std::size_t d, const Bounds* box,
                       const std::vector<bool>& integer) {
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
      } else if (!integer.empty() && integer[j] && v != std::floor(v)) {
        refuse(", not a whole number (an integer coordinate)");
      }
    }
  }
  return rows;
}

// A fit whose evaluations failed ends with one RuntimeWarning: how many, and the first one's
// point and error (a warning filter that makes it an error fails the fit).
void warn_of_failures(const FailureLog& log) {
  if (log.n_failed == 0) return;
  Ref point = float_list(log.first_point);
  Ref type_name = check(PyType_GetName(Py_TYPE(log.first_error.get())));
  if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                       "%zu evaluation%s of the objective failed and counted as +inf; the first, at %R: %U: %S",
                       log.n_failed, log.n_failed == 1 ? "" : "s", point.get(), type_name.get(),
                       log.first_error.get()) < 0)
    throw ErrorAlreadySet();
}

// The fit as the objective's wrappers see it (`__swarmix_start__(fit)`); `read_group` is the
// fit's own reader of group results.
Ref fit_description(const Estimator* self, const Bounds& bounds, bool vector, const FitCommon& common,
                    Ref read_group) {
  Ref seed = self->random_state ? check(PyLong_FromUnsignedLongLong(*self->random_state)) : Ref::borrow(Py_None);
  Ref rows = common.initial.empty() ? Ref::borrow(Py_None) : float_rows(common.initial);
  const std::vector<std::size_t> whole = integer_indices(common.integer);
  Ref integer = whole.empty() ? Ref::borrow(Py_None) : index_list<std::size_t>(whole);
  return check(Py_BuildValue("{s:s,s:N,s:N,s:N,s:N,s:s,s:O,s:n,s:n,s:O,s:O}", "class", self->table->name, "params",
                             params_dict(self).release(), "random_state", seed.release(), "lower",
                             float_list(bounds.lower()).release(), "upper", float_list(bounds.upper()).release(),
                             "kind", vector ? "vector" : "scalar", "initial", rows.get(), "n_constraints",
                             static_cast<Py_ssize_t>(common.constraints.inequalities), "n_equalities",
                             static_cast<Py_ssize_t>(common.constraints.equalities), "integer", integer.get(),
                             "read_group", read_group.get()));
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
      // The run stores the constraint values of its result (none unless constrained).
      next.constraints = in.common.constraints;
      next.constraint_values.clear();
      if (Status status = table.run(Params{table.params, self->values, self->random_state}, in, next))
        raise_value_error(status->display());
      if (!next.constraints_agree(table.fit_kind == FitKind::Multi))
        throw InternalError("a constrained fit's result without its constraint values");
      succeeded(next);
      self->fitted = std::move(next);
    };

    // The keywords after the box or the matrix, in every fit.
    PyObject *initial_obj = Py_None, *constraints_obj = nullptr, *equalities_obj = nullptr, *integer_obj = Py_None;
    if (table.fit_kind == FitKind::Tour) {
      static const char* keywords[] = {"distance_matrix", "initial", "n_constraints", "n_equalities", "integer",
                                       nullptr};
      PyObject* matrix_obj;
      if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OOOO:fit", const_cast<char**>(keywords), &matrix_obj,
                                       &initial_obj, &constraints_obj, &equalities_obj, &integer_obj))
        throw ErrorAlreadySet();
      WriteBorrow borrow(self);
      Matrix matrix = to_matrix(matrix_obj, "distance_matrix");
      if (auto error = validate_distance_matrix(matrix)) raise_value_error(*error);
      FitInput in;
      convert_keywords(table, constraints_obj, equalities_obj, integer_obj, matrix.size(), nullptr, in.common);
      in.common.initial = convert_initial(initial_obj, *self, matrix.size(), nullptr, in.common.integer);
      DiscreteProblem problem("tsp", std::move(matrix));
      InterruptibleProblem interruptible(problem);
      in.problem = &interruptible;
      run(in, [](Fitted& next) { next.n_failures = 0; });  // (no Python objective)
      Py_RETURN_NONE;
    }

    static const char* keywords[] = {"objective", "lower", "upper", "initial", "n_constraints", "n_equalities",
                                     "integer", nullptr};
    PyObject *objective_obj, *lower_obj, *upper_obj;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO|$OOOO:fit", const_cast<char**>(keywords), &objective_obj,
                                     &lower_obj, &upper_obj, &initial_obj, &constraints_obj, &equalities_obj,
                                     &integer_obj))
      throw ErrorAlreadySet();
    WriteBorrow borrow(self);
    Bounds bounds = convert_bounds(lower_obj, upper_obj);
    const bool binary = table.fit_kind == FitKind::Binary;
    const bool multi = table.fit_kind == FitKind::Multi;
    FitInput in;
    convert_keywords(table, constraints_obj, equalities_obj, integer_obj, bounds.size(), &bounds, in.common);
    in.common.initial =
        convert_initial(initial_obj, *self, bounds.size(), binary ? nullptr : &bounds, in.common.integer);
    const bool vector = multi || in.common.constraints.any();
    FitObjective objective(objective_obj, bounds.size(), multi, in.common.constraints, [&](Ref read_group) {
      return fit_description(self, bounds, vector, in.common, std::move(read_group));
    });
    try {
      // The binary swarm's box only gives the number of bits: its probe is all zeros. The
      // probe is whole at the integer coordinates, like every point the objective sees.
      std::vector<double> probe = binary ? std::vector<double>(bounds.size(), 0.0) : bounds.midpoint();
      round_integers(probe.data(), integer_indices(in.common.integer), bounds.lower(), bounds.upper());
      const std::size_t values = objective.probe(probe);
      if (multi) in.n_objectives = values - in.common.constraints.total();
      in.bounds = &bounds;
      if (vector)
        in.vector = &objective.vector_problem();
      else
        in.problem = &objective.problem();
      in.common.observer = objective.observer();
      run(in, [&](Fitted& next) {
        next.n_failures = objective.failures().n_failed;
        warn_of_failures(objective.failures());
        objective.end();
      });
    } catch (...) {
      set_error_from_current_exception();
      objective.fail();
      throw ErrorAlreadySet();
    }
    Py_RETURN_NONE;
  });
}

}  // namespace swarmix::py
