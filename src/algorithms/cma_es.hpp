#pragma once
#include "algorithms/base.hpp"

namespace swarmix {

// CmaEsOptimizer's hyperparameters: field = Python keyword name, initialiser = default.
struct CmaEsOptimizerParams {
  std::size_t n_individuals = 20;
  std::size_t n_iterations = 100;
  // The starting step size; fit writes the adapted one back after every generation, so a
  // second fit of the same object continues from it.
  double sigma = 0.5;
};

// A simplified evolution strategy: Gaussian samples around a mean with a global step size
// and one variance per coordinate (no correlations), log-weighted recombination of the better
// half, cumulative step-size adaptation, and variances smoothed towards the weighted spread of
// the selected samples relative to each coordinate's squared span.
class CmaEsOptimizer final : public Optimizer, public CmaEsOptimizerParams, public SearchSettings {
 public:
  using Hyperparameters = CmaEsOptimizerParams;
  CmaEsOptimizer(Bounds bounds) : bounds(std::move(bounds)) {}
  Bounds bounds;
  // record: best value after each generation; the last generation's samples in sampling order.

  Status fit(Problem& problem) override;
};

// Log weights of the better half of lambda samples, normalised, and their effective number.
struct RecombinationWeights {
  std::vector<double> weights;
  double mu_eff;
};
RecombinationWeights recombination_weights(std::size_t lambda);

}  // namespace swarmix
