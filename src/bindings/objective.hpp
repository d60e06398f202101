#pragma once
// The objective of one fit as the searches see it. What the user passed is inspected once,
// when the fit starts, through one protocol that every wrapper of an objective (a monitor, a
// journal, an ask/tell run) speaks; each method is optional:
// - `__swarmix_start__(fit)` is called first, with a dict describing the fit ("class",
//   "params", "random_state", "lower", "upper", "kind" ("scalar" or "vector": a
//   multi-objective or constrained fit), "initial", "n_constraints", "n_equalities",
//   "integer", "read_group"), and returns the objective to evaluate. A wrapper around another
//   wrapper starts that one itself (swarmix._protocol);
// - `__swarmix_boundary__(completed, planned, best, counts)` makes the object a monitor: it
//   hears every iteration boundary, and a true result stops the search there. `best` is None
//   for the multi-objective searches and while a constrained search's best is infeasible.
//   `counts` is (n_evaluations, n_failed, first_error, best_value, best_position), the best
//   under Deb's order in a constrained fit; the frame counts in the adapters, so a monitored
//   evaluation costs no extra Python call;
// - `__swarmix_end__(counts, error)` is called once after a start, however the fit ends:
//   `counts` as above (None without a boundary method), `error` None when the fit succeeded,
//   else the exception that fails it (which stays the one raised).
// The objective to evaluate is then a group objective when it has `__swarmix_group__` (see
// GroupAdapter), and is called once per point otherwise; when it has `__swarmix_record__`,
// the frame evaluates the plain objective that describes instead, answering from recorded data
// and recording what it evaluates (see Recorder).
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "bindings/adapters.hpp"
#include "bindings/recorder.hpp"
#include "core/observer.hpp"
#include "core/problem.hpp"

namespace swarmix::py {

class MonitorBridge;

class FitObjective {
 public:
  // The objective returns a row of values (see RowLength) for a multi-objective class
  // (`multi`) and in a constrained fit (`constraints`), else one number. `describe` builds the
  // dict that `__swarmix_start__` receives from the fit's group reader (called only for a
  // wrapper).
  FitObjective(PyObject* objective, std::size_t dimensions, bool multi, const ConstraintCounts& constraints,
               const std::function<Ref(Ref read_group)>& describe);
  ~FitObjective();
  FitObjective(const FitObjective&) = delete;
  FitObjective& operator=(const FitObjective&) = delete;

  // The check before the search: one point, every failure raised. Returns how many values
  // a vector objective gave (0 for a scalar one).
  std::size_t probe(std::span<const double> point);
  Problem& problem() { return monitored_ ? *monitored_ : *problem_; }
  VectorProblem& vector_problem() { return monitored_vector_ ? *monitored_vector_ : *vector_problem_; }
  // Who hears of the iteration boundaries: the monitor, if any.
  IterationObserver* observer();
  // The evaluations of the search that failed (the probe's failure fails the fit instead).
  const FailureLog& failures() const { return failures_; }
  // The search succeeded: the wrapper hears of it (and may still fail the fit).
  void end();
  // The fit failed with the raised Python error: the wrapper hears of it, the error stays.
  void fail();

 private:
  void make_problems();
  void end_with(PyObject* error);

  Ref objective_;  // what is evaluated (for a wrapper, what its start returned)
  Ref group_;      // its bound __swarmix_group__, if any
  Ref end_;        // the wrapper's bound __swarmix_end__, if it has one and was started
  std::size_t dimensions_;
  std::shared_ptr<RowLength> rows_;  // a vector fit's rows (null: one number per point)
  bool vector_;
  bool ended_ = false;
  ArgumentList arguments_;
  FailureLog failures_;
  std::unique_ptr<Recorder> recorder_;
  std::unique_ptr<MonitorBridge> monitor_;
  std::unique_ptr<Problem> problem_, monitored_;
  std::unique_ptr<VectorProblem> vector_problem_, monitored_vector_;
};

}  // namespace swarmix::py
