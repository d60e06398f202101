#pragma once
#include <vector>

#include "algorithms/base.hpp"
#include "algorithms/pareto.hpp"

namespace swarmix {

// Generational genetic algorithm for several objectives: binary tournaments on rank and
// crowding, blend crossover, uniform-noise mutation, elitist survival of parents plus
// offspring. The result is a bounded Pareto archive taken from the final population.
class Nsga2Optimizer : public GivenStart {
 public:
  explicit Nsga2Optimizer(Bounds bounds) : bounds(std::move(bounds)) {}

  std::size_t n_individuals = 40;
  std::size_t n_iterations = 100;
  double crossover_rate = 0.9;
  double mutation_rate = 0.1;
  double mutation_scale = 0.1;  // absolute half-width of a mutation step
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
