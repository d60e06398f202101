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
// polynomial mutation of each child; integer coordinates rounded after each.
struct Variation {
  double crossover_rate;
  double crossover_eta;
  double mutation_rate;  // per variable
  double mutation_eta;
  std::vector<std::size_t> integer;  // the integer coordinates (integer_indices; none: all continuous)
};

// Pairs of members read from shuffled copies of a population of n (n >= 2), two at a time (a
// new shuffle when fewer than two are left), so that every member is drawn equally often.
class ShuffledPairs {
 public:
  explicit ShuffledPairs(std::size_t n) : n_(n), next_(n) {}
  std::pair<std::size_t, std::size_t> draw(StdRng& rng);

 private:
  std::size_t n_, next_;
  std::vector<std::size_t> order_;
};

// The parents of one mating: two rows of the population.
using ChooseParents = std::function<std::pair<const double*, const double*>()>;

// n children (row after row in `children`) from pairs of parents that `parents` chooses,
// crossed and then each mutated. A child that repeats a member of `population` or an earlier
// child bit for bit is dropped while the matings stay below ten per child, so that copies of
// one point cannot crowd a population out; a child made when the rows are full is dropped
// too (an odd n). Integer coordinates are rounded (round_integers, a zero without its sign)
// after the crossover and again after the mutation; a child that then repeats a member or an
// earlier child moves one unit at each integer coordinate whose mutation rounded back, toward
// the mutated value (inside the whole bounds), so that such a mutation is not lost. The draws
// are those of the continuous search.
void make_offspring(StdRng& rng, const Bounds& bounds, const Variation& variation,
                    std::span<const ParetoPoint> population, std::size_t n, const ChooseParents& parents,
                    std::vector<double>& children);

// The integer coordinates of x rounded (round_integers, a zero without its sign, so that equal
// points have equal bits).
void round_whole(std::span<double> x, std::span<const std::size_t> integer, const Bounds& bounds);

// A candidate from its position and its objective's row: in a constrained fit the row's last
// counts.total() values are its constraint values, which give its violation (+inf for a
// failed row), and the values before them its objectives.
ParetoPoint evaluated_point(std::vector<double>&& position, std::vector<double>&& row, const ConstraintCounts& counts);

// The start of a genetic search: n points drawn in the box (initialize_continuous_population,
// `initial` in the first rows), whole at the integer coordinates, evaluated as one group.
std::vector<ParetoPoint> start_points(VectorProblem& problem, StdRng& rng, const Bounds& bounds, std::size_t n,
                                      const Matrix& initial, const Variation& variation,
                                      const ConstraintCounts& counts);

// Evaluates the children (rows of `dims` values, one after the other) as one group and
// appends them to `points` in the order they were made.
void append_offspring(VectorProblem& problem, const std::vector<double>& children, std::size_t dims,
                      const ConstraintCounts& counts, std::vector<ParetoPoint>& points);

// NSGA-II: binary tournaments without replacement (the entrants from shuffled copies of the
// population; a dominating entrant wins, otherwise the one with the larger crowding distance
// in its front), simulated binary crossover, polynomial mutation, elitist survival of parents
// plus offspring (select_survivors); the offspring made by make_offspring. Each generation's
// offspring is one group.
//
// Constraints: dominance is constraint-domination (Deb et al. 2002) in the tournaments and in
// survival (constrained_sort): a feasible member beats an infeasible one, two infeasible ones
// compare by violation, two feasible ones by Pareto dominance. The front is the first front
// under that order: feasible whenever any member is.
class Nsga2Sbx : public Nsga2SbxParams, public SearchSettings {
 public:
  using Hyperparameters = Nsga2SbxParams;
  explicit Nsga2Sbx(Bounds bounds) : bounds(std::move(bounds)) {}
  Bounds bounds;

  // After a successful fit: the final population (positions and objective values, in survival
  // order), its first front (population order, with the constraint values) and the size of
  // that front after each generation.
  std::vector<std::vector<double>> population;
  std::vector<std::vector<double>> population_values;
  std::vector<ParetoPoint> front;
  std::vector<double> history;

  Status fit(VectorProblem& problem);
};

}  // namespace swarmix
