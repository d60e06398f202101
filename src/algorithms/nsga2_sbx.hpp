#pragma once
#include <optional>
#include <span>
#include <vector>

#include "algorithms/base.hpp"
#include "algorithms/pareto.hpp"

namespace swarmix {

// Nsga2Sbx's hyperparameters: field = Python keyword name, initialiser = default.
struct Nsga2SbxParams {
  std::size_t n_individuals = 100;
  std::size_t n_iterations = 100;
  double crossover_rate = 0.9;
  double crossover_eta = 15.0;
  std::optional<double> mutation_rate = std::nullopt;  // per variable; none: 1 / dimensions
  double mutation_eta = 20.0;
};

// Simulated binary crossover of one pair in place, bounded form: with probability `rate`
// the pair crosses, and then each variable with probability 0.5 gets a spread factor drawn
// from the polynomial distribution of index `eta` (its tails cut at the box, so both
// children stay in it), the two children being exchanged with probability 0.5. Draws: one
// for the pair; per variable one, and two more (factor, exchange) when the parents differ
// there.
void sbx_crossover(StdRng& rng, const Bounds& bounds, double rate, double eta, std::span<double> a,
                   std::span<double> b);

// Polynomial mutation in place, bounded form: each variable with probability `rate` moves
// by a step drawn from the polynomial distribution of index `eta`, rescaled so that it stays
// in the box. Draws: one per variable, one more per mutated variable. A variable whose box
// is empty or unbounded keeps its value.
void polynomial_mutation(StdRng& rng, const Bounds& bounds, double rate, double eta, std::span<double> x);

// NSGA-II: binary tournaments without replacement (the entrants from shuffled copies of the
// population; a dominating entrant wins, otherwise the one with the larger crowding distance
// in its front), simulated binary crossover, polynomial mutation, elitist survival of parents
// plus offspring (select_survivors). A child that repeats a member or an earlier child bit
// for bit is made again, up to ten matings per child on average. Each generation's
// offspring is one group.
class Nsga2Sbx : public Nsga2SbxParams, public SearchSettings {
 public:
  using Hyperparameters = Nsga2SbxParams;
  explicit Nsga2Sbx(Bounds bounds) : bounds(std::move(bounds)) {}
  Bounds bounds;

  // After a successful fit: the final population (positions and values, in survival order),
  // its first front (population order) and the size of that front after each generation.
  std::vector<std::vector<double>> population;
  std::vector<std::vector<double>> population_values;
  std::vector<ParetoPoint> front;
  std::vector<double> history;

  Status fit(VectorProblem& problem);
};

}  // namespace swarmix
