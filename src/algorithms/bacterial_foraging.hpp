#pragma once
#include "algorithms/base.hpp"

namespace swarmix {

// BacterialForagingOptimizer's hyperparameters: field = Python keyword name, initialiser = default.
struct BacterialForagingOptimizerParams {
  std::size_t n_bacteria = 30;
  std::size_t n_iterations = 100;
  std::size_t n_chemotactic_steps = 10;
  std::size_t n_reproduction_steps = 4;
  double elimination_probability = 0.25;
  double step_scale = 0.1;
};

// Simplified bacterial foraging: chemotaxis (random tumbles kept only when better) inside
// reproduction (the better half cloned over the worse half) inside elimination-dispersal
// (random restarts with a fixed probability). No swim phase, no cell-to-cell attraction.
class BacterialForagingOptimizer final
    : public Optimizer, public BacterialForagingOptimizerParams, public SearchSettings {
 public:
  using Hyperparameters = BacterialForagingOptimizerParams;
  BacterialForagingOptimizer(Bounds bounds) : bounds(std::move(bounds)) {}
  Bounds bounds;
  // record: best value after each reproduction step, and the final positions of the bacteria.

  Status fit(Problem& problem) override;
};

}  // namespace swarmix
