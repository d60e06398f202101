#pragma once
// What every single-objective algorithm that takes a Problem shares.
#include <cstdint>
#include <optional>
#include <variant>
#include <vector>

#include "core/bounds.hpp"
#include "core/constraints.hpp"
#include "core/error.hpp"
#include "core/observer.hpp"
#include "core/problem.hpp"
#include "core/solution.hpp"
#include "random/std_rng.hpp"

namespace swarmix {

using Seed = std::optional<std::uint64_t>;

// What every search takes from its caller besides its hyperparameters: the seed of its
// random source, the observer of its iteration boundaries (none: it never stops early), the
// points to start from, the constraints and the integer coordinates.
struct SearchSettings {
  Seed random_state;
  IterationObserver* observer = nullptr;
  // Rows that replace the first rows of the start the fit draws (tours: city indices written
  // as floats); empty: the drawn start alone. The fit checks none of it beyond what keeps
  // memory safe: the caller has checked the rows.
  Matrix initial;
  // The constraint values that follow the objective values of each row (none: an
  // unconstrained fit). Only the searches that handle constraints are given any.
  ConstraintCounts constraints;
  // Per coordinate, whether it takes only whole numbers (empty: none does). Only the searches
  // that handle integers are given a set entry; the caller has checked that the bounds and
  // the initial rows are whole there.
  std::vector<bool> integer;

  // Reports an iteration boundary (with whether the best so far is feasible); true: stop there.
  bool iteration_done(std::size_t completed, std::size_t planned, double best, bool feasible = true) const {
    return observer && observer->iteration_done(completed, planned, best, feasible);
  }
};

// What a run hands back to its caller beyond the best Solution (empty where the algorithm
// keeps none).
struct RunRecord {
  std::vector<double> history;
  std::vector<std::vector<double>> population;
};

// What a finished run leaves: the best Solution, and for the algorithms that keep them the
// history and the final population.
class RunResult {
 public:
  std::optional<Solution> predict() const { return best_; }
  // Replaces the stored result (restoring a saved optimiser).
  void restore(std::optional<Solution> best) { best_ = std::move(best); }

  RunRecord record;

 protected:
  std::optional<Solution> best_;
};

class Optimizer : public RunResult {
 public:
  virtual ~Optimizer() = default;
  // Runs the search; on success the best result is stored and predict() returns it.
  virtual Status fit(Problem& problem) = 0;
};

struct InitResult {
  StdRng rng;
  std::size_t n;
  std::vector<double> span;
};

// The shared entry check of the continuous algorithms: a non-empty box matching the
// problem, then the random source (after the checks, so a failing call draws no entropy).
std::variant<InitResult, OptimizationError> validate_and_init(const Bounds& bounds, const Problem& problem,
                                                               const Seed& random_state);
// The same for a search of `problem_dimensions` coordinates (a vector-valued problem's).
std::variant<InitResult, OptimizationError> validate_and_init(const Bounds& bounds, std::size_t problem_dimensions,
                                                               const Seed& random_state);

// "Problem has {d} dimensions but bounds have {n}"
OptimizationError dimension_mismatch(std::size_t problem_dimensions, std::size_t box_dimensions);

}  // namespace swarmix
