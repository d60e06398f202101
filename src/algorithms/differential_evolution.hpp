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
class DifferentialEvolution final
    : public Optimizer, public DifferentialEvolutionParams, public SearchSettings {
 public:
  using Hyperparameters = DifferentialEvolutionParams;
  DifferentialEvolution(Bounds bounds) : bounds(std::move(bounds)) {}
  Bounds bounds;
  // record: best value after each generation; the final population.

  Status fit(Problem& problem) override;
};

}  // namespace swarmix
