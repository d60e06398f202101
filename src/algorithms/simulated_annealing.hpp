#pragma once
#include "algorithms/base.hpp"

namespace swarmix {

// SimulatedAnnealing's hyperparameters: field = Python keyword name, initialiser = default.
struct SimulatedAnnealingParams {
  double initial_temperature = 10.0;
  double cooling_rate = 0.95;
  double step_scale = 0.1;
  std::size_t n_iterations = 100;
};

// Single-point annealing walk: uniform box-relative moves of every coordinate, Metropolis
// acceptance and geometric cooling. The best point ever visited is the result; the record's
// population holds the walk's final current point.
class SimulatedAnnealing final : public Optimizer, public SimulatedAnnealingParams, public SearchSettings {
 public:
  using Hyperparameters = SimulatedAnnealingParams;
  SimulatedAnnealing(Bounds bounds) : bounds(std::move(bounds)) {}
  Bounds bounds;
  // record: best value after each iteration; the final current point.

  Status fit(Problem& problem) override;
};

}  // namespace swarmix
