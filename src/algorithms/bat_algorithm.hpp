#pragma once
#include "algorithms/base.hpp"

namespace swarmix {

// BatAlgorithm's hyperparameters: field = Python keyword name, initialiser = default.
struct BatAlgorithmParams {
  std::size_t n_bats = 30;
  std::size_t n_iterations = 100;
  double fmin = 0.0;
  double fmax = 2.0;
  double alpha = 0.9;
  double gamma = 0.9;
  double loudness = 1.0;
  double pulse_rate = 0.5;
};

// Bat algorithm: each bat draws a frequency and flies relative to the best position, may
// replace its position by a small Gaussian walk around the best, and records the move only
// when it is no worse and a loudness draw accepts it (accepted moves make the bat quieter
// and reset its pulse rate). Bats are updated one after another.
class BatAlgorithm final : public Optimizer, public BatAlgorithmParams, public SearchSettings {
 public:
  using Hyperparameters = BatAlgorithmParams;
  BatAlgorithm(Bounds bounds) : bounds(std::move(bounds)) {}
  Bounds bounds;
  // record: best value after each iteration, and the final positions of the bats.

  Status fit(Problem& problem) override;
};

}  // namespace swarmix
