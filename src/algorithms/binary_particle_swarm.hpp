#pragma once
#include <optional>
#include <vector>

#include "algorithms/base.hpp"

namespace swarmix {

// Particle swarm over bit vectors with the sigmoid transfer: real velocities per bit, updated
// as in the continuous swarm, and each new bit set to 1 with probability 1 / (1 + e^-v).
// The objective sees a position as 0.0/1.0 values.
class BinaryParticleSwarm : public RunResult, public GivenStart {
 public:
  std::size_t n_particles = 30;
  std::size_t n_iterations = 100;
  double w = 0.7;
  double c1 = 1.5;
  double c2 = 1.5;
  Seed random_state;

  // Searches bit vectors of length problem.dimensions(). On success the best result, the
  // best value after each iteration and the final positions are stored.
  Status fit(Problem& problem);
  // The same for a plain function of bit vectors of length n.
  Status fit_with_objective(const ScalarObjective& objective, std::size_t n) {
    ContinuousProblem problem("objective", objective, n);
    return fit(problem);
  }
};

}  // namespace swarmix
