#pragma once
#include "algorithms/base.hpp"

namespace swarmix {

// FireflyOptimizer's hyperparameters: field = Python keyword name, initialiser = default.
struct FireflyOptimizerParams {
  std::size_t n_fireflies = 30;
  std::size_t n_iterations = 100;
  double beta0 = 1.0;
  double gamma = 1.0;
  double alpha = 0.2;
};

// Firefly algorithm: each firefly tries a move toward every brighter one (lower value),
// attracted by beta0 * exp(-gamma * r^2) plus a uniform step of alpha times the box width;
// a move is kept only when it improves the moving firefly.
class FireflyOptimizer final : public Optimizer, public FireflyOptimizerParams, public SearchSettings {
 public:
  using Hyperparameters = FireflyOptimizerParams;
  FireflyOptimizer(Bounds bounds) : bounds(std::move(bounds)) {}
  Bounds bounds;
  // record: best value after each iteration, and the final swarm; emptied when a fit starts.

  Status fit(Problem& problem) override;
};

}  // namespace swarmix
