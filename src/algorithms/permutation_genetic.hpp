#pragma once
#include <vector>

#include "algorithms/base.hpp"

namespace swarmix {

// 0 .. n-1 shuffled in place (i = n-1 down to 1, each swapped with element I32(i + 1)).
std::vector<std::size_t> random_permutation(StdRng& rng, std::size_t n);

// PermutationGeneticOptimizer's hyperparameters: field = Python keyword name,
// initialiser = default.
struct PermutationGeneticOptimizerParams {
  std::size_t n_individuals = 40;
  std::size_t n_iterations = 100;
  double mutation_rate = 0.1;
  bool use_two_opt = true;
};

// Generational genetic algorithm over tours: random permutations (optionally polished once
// by 2-opt), one elite carried over, binary tournaments, order crossover, swap mutation.
class PermutationGeneticOptimizer final
    : public Optimizer, public PermutationGeneticOptimizerParams, public SearchSettings {
 public:
  using Hyperparameters = PermutationGeneticOptimizerParams;

  // record: the elite's value at the start of every generation, and the final positions,
  // best first.

  Status fit(Problem& problem) override;
};

}  // namespace swarmix
