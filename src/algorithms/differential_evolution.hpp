#pragma once
#include "algorithms/base.hpp"

namespace swarmix {

// DifferentialEvolution's hyperparameters: field = Python keyword name, initialiser = default.
struct DifferentialEvolutionParams {
  std::size_t n_individuals = 40;
  std::size_t n_iterations = 100;
  double f = 0.8;
  double cr = 0.9;
};

// rand/1/bin differential evolution. Each member is challenged once per generation by a
// trial built from three other distinct members; a trial at least as good replaces the
// member in place, so later members of the same generation already see it.
//
// Constraints: points compare by Deb's feasibility rules (core/constraints.hpp), so "at least
// as good" and the best follow that order; unconstrained, they are `<=` and `<` of the values.
// Integer coordinates: every point evaluated is rounded there (the mutation reads the members
// as they are). A trial that rounds back onto its member is moved one unit at the integer
// coordinate where the unrounded trial lies farthest from the member, toward it; when the
// unrounded trial is the member itself, one unit in a drawn direction at a drawn integer
// coordinate whose bounds differ (none: the trial is not evaluated).
class DifferentialEvolution final
    : public Optimizer, public DifferentialEvolutionParams, public SearchSettings {
 public:
  using Hyperparameters = DifferentialEvolutionParams;
  DifferentialEvolution(Bounds bounds) : bounds(std::move(bounds)) {}
  Bounds bounds;
  // record: best value after each generation; the final population.

  Status fit(Problem& problem) override;
  // A constrained fit: `problem` gives rows [value, g..., h...] (SearchSettings::constraints).
  Status fit(VectorProblem& problem);

 private:
  // The one search, over a ValueProblem or a StandingProblem (core/constraints.hpp).
  template <class Scored>
  Status search(Scored& problem);
};

}  // namespace swarmix
