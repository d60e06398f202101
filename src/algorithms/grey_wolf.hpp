#pragma once
#include "algorithms/base.hpp"

namespace swarmix {

// Grey wolf optimiser: each iteration takes the three best wolves as leaders and moves
// every wolf to the mean of three points pulled toward them, with a coefficient that falls
// linearly from 2 to 0 over the run. Moves are always taken.
class GreyWolfOptimizer final : public Optimizer {
 public:
  GreyWolfOptimizer(Bounds bounds) : bounds(std::move(bounds)) {}

  std::size_t n_wolves = 30;
  std::size_t n_iterations = 100;
  Seed random_state;
  Bounds bounds;
  // record: best value after each iteration, and the final pack; emptied when a fit starts.

  Status fit(Problem& problem) override;
};

}  // namespace swarmix
