#pragma once
// The objective of one fit as the searches see it. What the user passed is inspected once,
// when the fit starts:
// - an object with `__swarmix_start__` is a monitor: the frame calls
//   `__swarmix_start__()`, which returns the objective to evaluate, reports every iteration
//   boundary to `__swarmix_boundary__(completed, planned, best, counts)` (a true result stops
//   the search there) and calls `__swarmix_end__(counts)` once when the fit ends, however it
//   ends. `counts` is (n_evaluations, n_failed, first_error, best_value, best_position); the
//   frame counts in the adapters, so a monitored evaluation costs no extra Python call.
// - an objective with `__swarmix_group__` is a group objective (see GroupAdapter);
// - anything else is called once per point.
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "bindings/adapters.hpp"
#include "core/observer.hpp"
#include "core/problem.hpp"

namespace swarmix::py {

class MonitorBridge;

class FitObjective {
 public:
  // `vector`: the objective returns a list of values (the multi-objective searches).
  FitObjective(PyObject* objective, std::size_t dimensions, bool vector);
  // Ends a monitor that end() did not (the fit failed), keeping the fit's error.
  ~FitObjective();
  FitObjective(const FitObjective&) = delete;
  FitObjective& operator=(const FitObjective&) = delete;

  // The check before the search: one point, every failure raised.
  void probe(std::span<const double> point);
  Problem& problem() { return monitored_ ? *monitored_ : *problem_; }
  VectorProblem& vector_problem() { return monitored_vector_ ? *monitored_vector_ : *vector_problem_; }
  // Who hears of the iteration boundaries: the monitor, if any.
  IterationObserver* observer();
  // The search succeeded: a monitor hears of it (and may still fail the fit).
  void end();

 private:
  Ref objective_;  // what is evaluated (for a monitor, what its start returned)
  Ref group_;      // its bound __swarmix_group__, if any
  std::size_t dimensions_;
  bool vector_;
  bool ended_ = false;
  ArgumentList arguments_;
  std::unique_ptr<MonitorBridge> monitor_;
  std::unique_ptr<Problem> problem_, monitored_;
  std::unique_ptr<VectorProblem> vector_problem_, monitored_vector_;
};

}  // namespace swarmix::py
