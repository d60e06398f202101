#pragma once
#include "algorithms/base.hpp"

namespace swarmix {

// GreyWolfOptimizer's hyperparameters: field = Python keyword name, initialiser = default.
struct GreyWolfOptimizerParams {
  std::size_t n_wolves = 30;
  std::size_t n_iterations = 100;
};

// Grey wolf optimiser: each iteration takes the three best wolves as leaders and moves
// every wolf to the mean of three points pulled toward them, with a coefficient that falls
// linearly from 2 to 0 over the run. Moves are always taken.
class GreyWolfOptimizer final : public Optimizer, public GreyWolfOptimizerParams, public SearchSettings {
 public:
  using Hyperparameters = GreyWolfOptimizerParams;
  GreyWolfOptimizer(Bounds bounds) : bounds(std::move(bounds)) {}
  Bounds bounds;
  // record: best value after each iteration, and the final pack; emptied when a fit starts.

  Status fit(Problem& problem) override;
};

}  // namespace swarmix
