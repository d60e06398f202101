#pragma once
#include "algorithms/base.hpp"

namespace swarmix {

// ParticleSwarm's hyperparameters: field = Python keyword name, initialiser = default.
struct ParticleSwarmParams {
  std::size_t n_particles = 30;
  std::size_t n_iterations = 100;
  double w = 0.9;
  double c1 = 2.0;
  double c2 = 2.0;
};

// Global-best particle swarm with constant inertia and unlimited velocity; particles are
// updated one after another, so a new swarm best is seen by the particles after it.
class ParticleSwarm final : public Optimizer, public ParticleSwarmParams, public SearchSettings {
 public:
  using Hyperparameters = ParticleSwarmParams;
  ParticleSwarm(Bounds bounds) : bounds(std::move(bounds)) {}
  Bounds bounds;

  Status fit(Problem& problem) override;
};

}  // namespace swarmix
