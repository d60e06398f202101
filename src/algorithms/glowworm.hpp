#pragma once
#include "algorithms/base.hpp"

namespace swarmix {

// GlowwormOptimizer's hyperparameters: field = Python keyword name, initialiser = default.
struct GlowwormOptimizerParams {
  std::size_t n_worms = 30;
  std::size_t n_iterations = 100;
  double luciferin_decay = 0.4;
  double luciferin_enhancement = 0.6;
  double step_size = 0.1;
  double neighborhood_radius = 1.0;
};

// Glowworm swarm: luciferin grows with the quality of a worm's position and decays each
// iteration; a worm steps toward the best-valued brighter worm within the radius and keeps
// the step only if it improves its own value. Only the start positions are random.
class GlowwormOptimizer final : public Optimizer, public GlowwormOptimizerParams, public SearchSettings {
 public:
  using Hyperparameters = GlowwormOptimizerParams;
  GlowwormOptimizer(Bounds bounds) : bounds(std::move(bounds)) {}
  Bounds bounds;
  // record: best value after each iteration, and the final positions of the worms.

  Status fit(Problem& problem) override;
};

}  // namespace swarmix
