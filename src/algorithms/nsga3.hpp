#pragma once
#include <optional>
#include <span>
#include <vector>

#include "algorithms/base.hpp"
#include "algorithms/nsga2_sbx.hpp"
#include "algorithms/pareto.hpp"

namespace swarmix {

// Nsga3's hyperparameters: field = Python keyword name, initialiser = default.
struct Nsga3Params {
  std::size_t n_iterations = 100;
  // Points on the unit simplex, one value per objective; none: default_reference_directions.
  std::optional<Matrix> reference_directions = std::nullopt;
  // None: the smallest multiple of 4 that is at least the number of directions.
  std::optional<std::size_t> n_individuals = std::nullopt;
  double crossover_rate = 1.0;
  double crossover_eta = 30.0;
  std::optional<double> mutation_rate = std::nullopt;  // per variable; none: 1 / dimensions
  double mutation_eta = 20.0;
};

// Das and Dennis's points: every vector of m multiples of 1 / partitions that sums to 1,
// C(partitions + m - 1, m - 1) of them, in lexicographic order of their numerators (the first
// value rising, then the second, ...). Each value is numerator / partitions.
Matrix simplex_lattice(std::size_t m, std::size_t partitions);

// The lattice of `partitions`, then (inner_partitions > 0) the lattice of inner_partitions
// shrunk halfway toward the centre (x / 2 + 1 / (2 m)), as Deb and Jain place an inner layer.
Matrix layered_directions(std::size_t m, std::size_t partitions, std::size_t inner_partitions);

// The directions chosen for m objectives, after Deb and Jain's table: m = 1: the one point;
// 2: 99 partitions (100 directions); 3: 12 (91); 4: 7 (120); 5: 6 (210); 6: 4 + 1 in two
// layers (132); 7 to 10: 3 + 2 (m = 8: 156, m = 10: 275); above: 2 + 1 (m = 15: 135).
Matrix default_reference_directions(std::size_t m);

// The population that niching starts from: the smallest multiple of 4 at least `directions`.
std::size_t default_population(std::size_t directions);

// NSGA-III's normalisation (Deb and Jain, with the choices that Blank, Deb and Roy's study of
// it, EMO 2019, recommends): the ideal point is the best value of each objective seen so far;
// the extreme point of each axis minimises the achievement scalarising function of that axis
// (weights 1 on it, 1e-6 elsewhere) among the previous extreme points and the population, a
// value within 2e-3 of the range (the last nadir estimate's, at first the population's) from
// the ideal point counting as on it, so that of the points along an axis the one nearest the
// ideal point is its extreme; the hyperplane through the extreme points (such values again as
// 0: the points taken as on their axes) gives the intercepts, and ideal + intercepts the nadir
// estimate, no worse than the worst value seen so far. When the hyperplane degenerates (a
// singular or ill-conditioned system, an intercept that is not finite or below 1e-6 of the
// range seen) the nadir estimate falls back to the worst values of the first front; where it
// is still within 1e-6 of the range seen from the ideal point, to the worst of the population.
// Only finite values count; a member with a value that is not finite is no extreme point.
class HyperplaneNormalization {
 public:
  explicit HyperplaneNormalization(std::size_t m);
  // `values`: the population's, m per member; `first_front`: the members no other dominates.
  void update(std::span<const std::vector<double>> values, std::span<const std::size_t> first_front);
  const std::vector<double>& ideal() const { return ideal_; }
  const std::vector<double>& nadir() const { return nadir_; }
  const Matrix& extremes() const { return extremes_; }
  // Whether the last update fell back from the hyperplane.
  bool fell_back() const { return fell_back_; }
  // The values scaled so that the ideal point is 0 and the nadir estimate 1 (a range that is
  // not positive scales by 1).
  std::vector<double> normalized(std::span<const double> values) const;

 private:
  std::size_t m_;
  std::vector<double> ideal_, worst_, nadir_;
  Matrix extremes_;
  bool fell_back_ = false;
};

// Each member's nearest reference line (through the origin along a direction) and its
// perpendicular distance to it, for normalised values; the first of equally near lines. A
// member with a value that is not finite has no line: niche = directions.size(), distance +inf.
struct Niches {
  std::vector<std::size_t> niche;
  std::vector<double> distance;
};
Niches associate(std::span<const std::vector<double>> normalized, const Matrix& directions);

// NSGA-III's survival: n members of a merged population (values: m per member, +inf where a
// value is missing), whole fronts in rank order while they fit (`fronts`: the ranking, which a
// comparison other than dominance may make), then members of the first front that does not
// fit by niche-preserving selection: repeatedly a direction with the fewest members chosen so
// far (a random one of equals) takes, among its last-front members, the nearest while it has
// none, else a random one; a direction without last-front members is passed over. Members
// without a line come last, in front order. Updates `normalization` from the whole merged
// population. Returns the survivors' indices: the whole fronts in front order, then the
// chosen members in the order they were chosen.
//
// With `violations` (one per member; empty: all feasible) and the fronts of constrained_sort,
// as Jain and Deb's constrained NSGA-III: the normalisation learns from the feasible members
// only (not at all while there are none), and a last front of infeasible members (all of one
// violation) gives its first members in front order, without niching.
std::vector<std::size_t> reference_point_survival(StdRng& rng, std::span<const std::vector<double>> values,
                                                  const std::vector<Front>& fronts, std::size_t n,
                                                  const Matrix& directions, HyperplaneNormalization& normalization,
                                                  std::span<const double> violations = {});

// NSGA-III (Deb and Jain, IEEE TEVC 18(4), 2014): each generation N children of random
// parents (pairs read from shuffled copies of the population) by simulated binary crossover
// and polynomial mutation (make_offspring), then reference_point_survival of parents plus
// children. A value vector shorter than the number of objectives (a failed evaluation)
// counts as +inf where it has no value, and so does a NaN. Each generation's offspring is one
// group.
//
// Constraints (Jain and Deb, IEEE TEVC 18(4), 2014, the constrained NSGA-III): each parent is
// the winner of a tournament of two entrants read in pairs from shuffled copies of the
// population: a feasible entrant beats an infeasible one, of two infeasible ones the smaller
// violation wins, of two feasible ones the first (a random one: the order is shuffled); the
// ranking is constraint-domination (constrained_sort), with reference_point_survival's
// constrained rules. The front is the first front under that order.
class Nsga3 : public Nsga3Params, public SearchSettings {
 public:
  using Hyperparameters = Nsga3Params;
  Nsga3(Bounds bounds, std::size_t n_objectives) : bounds(std::move(bounds)), n_objectives(n_objectives) {}
  Bounds bounds;
  std::size_t n_objectives;  // the length of the objective's value vectors

  // After a successful fit: the final population (positions and values, in survival order),
  // its first front (population order), the size of that front after each generation and
  // the directions used.
  std::vector<std::vector<double>> population;
  std::vector<std::vector<double>> population_values;
  std::vector<ParetoPoint> front;
  std::vector<double> history;
  Matrix directions;

  Status fit(VectorProblem& problem);
};

}  // namespace swarmix
