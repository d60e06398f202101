#pragma once
#include <functional>
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

// How the genetic searches on a box vary their parents: simulated binary crossover, then
// polynomial mutation of each child.
struct Variation {
  double crossover_rate;
  double crossover_eta;
  double mutation_rate;  // per variable
  double mutation_eta;
};

// The parents of one mating: two rows of the population.
using ChooseParents = std::function<std::pair<const double*, const double*>()>;

// n children (row after row in `children`) from pairs of parents that `parents` chooses,
// crossed and then each mutated. A child that repeats a member of `population` or an earlier
// child bit for bit is dropped while the matings stay below ten per child, so that copies of
// one point cannot crowd a population out; a child made when the rows are full is dropped
// too (an odd n).
void make_offspring(StdRng& rng, const Bounds& bounds, const Variation& variation,
                    std::span<const ParetoPoint> population, std::size_t n, const ChooseParents& parents,
                    std::vector<double>& children);

// NSGA-II: binary tournaments without replacement (the entrants from shuffled copies of the
// population; a dominating entrant wins, otherwise the one with the larger crowding distance
// in its front), simulated binary crossover, polynomial mutation, elitist survival of parents
// plus offspring (select_survivors); the offspring made by make_offspring. Each generation's
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
