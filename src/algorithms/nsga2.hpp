#pragma once
#include <vector>

#include "algorithms/base.hpp"
#include "algorithms/pareto.hpp"

namespace swarmix {

// Nsga2Optimizer's hyperparameters: field = Python keyword name, initialiser = default.
struct Nsga2OptimizerParams {
  std::size_t n_individuals = 40;
  std::size_t n_iterations = 100;
  double crossover_rate = 0.9;
  double mutation_rate = 0.1;
  double mutation_scale = 0.1;  // absolute half-width of a mutation step
  std::size_t archive_size = 50;
};

// Generational genetic algorithm for several objectives: binary tournaments on rank and
// crowding, blend crossover, uniform-noise mutation, elitist survival of parents plus
// offspring. The result is a bounded Pareto archive taken from the final population.
class Nsga2Optimizer : public Nsga2OptimizerParams, public SearchSettings {
 public:
  using Hyperparameters = Nsga2OptimizerParams;
  explicit Nsga2Optimizer(Bounds bounds) : bounds(std::move(bounds)) {}
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
