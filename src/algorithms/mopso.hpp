#pragma once
#include <vector>

#include "algorithms/base.hpp"
#include "algorithms/pareto.hpp"

namespace swarmix {

// Particle swarm for several objectives. The social attractor of each move is a leader drawn
// from the first front of an external archive, which is rebuilt after every iteration from
// itself plus all personal bests; a personal best is replaced only by a point that
// dominates it.
class MopsoOptimizer : public GivenStart {
 public:
  explicit MopsoOptimizer(Bounds bounds) : bounds(std::move(bounds)) {}

  std::size_t n_particles = 30;
  std::size_t n_iterations = 100;
  double w = 0.7;
  double c1 = 1.5;
  double c2 = 1.5;
  double mutation_scale = 0.1;  // kept and reported only: the search has no mutation step
  std::size_t archive_size = 50;
  Seed random_state;
  Bounds bounds;

  // After a successful fit: the final positions and the archive.
  std::vector<std::vector<double>> population;
  std::vector<ParetoPoint> archive;

  Status fit(VectorProblem& problem);
  // The same for a plain function.
  Status fit_with_objective(const VectorObjective& objective) {
    FunctionVectorProblem problem(objective, bounds.size());
    return fit(problem);
  }
};

}  // namespace swarmix
