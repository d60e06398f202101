#include "algorithms/permutation_genetic.hpp"

#include <algorithm>
#include <optional>
#include <span>

#include "algorithms/swarm_common.hpp"
#include "algorithms/tour.hpp"
#include "core/interrupt.hpp"

namespace swarmix {

std::vector<std::size_t> random_permutation(StdRng& rng, std::size_t n) {
  std::vector<std::size_t> tour(n);
  for (std::size_t i = 0; i < n; ++i) tour[i] = i;
  rng.shuffle(tour);
  return tour;
}

namespace {

// Stable ascending order of `keys` (a merge sort: an element moves ahead of an earlier one
// only when its key is strictly smaller, so equal keys, and NaN against anything, keep
// their order). `order` receives the indices, `scratch` is working space.
void stable_order(const std::vector<double>& keys, std::vector<std::size_t>& order,
                  std::vector<std::size_t>& scratch) {
  const std::size_t n = keys.size();
  order.resize(n);
  scratch.resize(n);
  for (std::size_t i = 0; i < n; ++i) order[i] = i;
  for (std::size_t width = 1; width < n; width *= 2) {
    for (std::size_t lo = 0; lo < n; lo += 2 * width) {
      const std::size_t mid = std::min(lo + width, n), hi = std::min(lo + 2 * width, n);
      std::size_t l = lo, r = mid, out = lo;
      while (l < mid && r < hi) scratch[out++] = keys[order[r]] < keys[order[l]] ? order[r++] : order[l++];
      while (l < mid) scratch[out++] = order[l++];
      while (r < hi) scratch[out++] = order[r++];
    }
    order.swap(scratch);
  }
}

// Populations of `size` tours of n cities, stored as positions (city i as the float i),
// n entries each, with their values.
struct Population {
  std::vector<double> positions;
  std::vector<double> values;

  Population(std::size_t size, std::size_t n) : positions(checked_mul(size, n)), values(size) {}
  double* at(std::size_t k, std::size_t n) { return positions.data() + k * n; }
};

class Breeder {
 public:
  Breeder(std::size_t n, double mutation_rate)
      : n_(n), mutation_rate_(mutation_rate), p1_(n), p2_(n), child_(n), present_(n) {}

  // One child of the sorted population `from` (rank r is individual order[r]) into `into`.
  void child(StdRng& rng, Population& from, const std::vector<std::size_t>& order, double* into) {
    const std::size_t size = order.size();
    const std::size_t a = order[rng.index(size)], b = order[rng.index(size)];
    const std::size_t c = order[rng.index(size)], d = order[rng.index(size)];
    read_tour(from.at(from.values[a] <= from.values[b] ? a : b, n_), p1_);
    read_tour(from.at(from.values[c] <= from.values[d] ? c : d, n_), p2_);

    // Order crossover: a slice of parent 1 in place, the other cities in parent 2's order,
    // filled from just after the slice and wrapping to the front.
    const std::size_t start = static_cast<std::size_t>(rng.index(n_));
    const std::size_t end = start + static_cast<std::size_t>(rng.index(n_ - start));
    std::fill(present_.begin(), present_.end(), 0);
    for (std::size_t i = start; i <= end; ++i) place(i, p1_[i]);
    std::size_t filled = end - start + 1;
    if (filled < n_) {
      std::size_t pos = end + 1 == n_ ? 0 : end + 1;
      for (std::size_t city : p2_) {
        if (present_[city]) continue;
        place(pos, city);
        if (++filled == n_) break;
        pos = pos + 1 == n_ ? 0 : pos + 1;
      }
    }
    if (filled != n_) throw InternalError("order crossover left a slot empty");

    if (n_ != 1) {
      const double u = rng.u01();
      if (u <= mutation_rate_) {
        const std::size_t i = static_cast<std::size_t>(rng.index(n_));
        const std::size_t j = static_cast<std::size_t>(rng.index(n_));
        std::swap(child_[i], child_[j]);
      }
    }
    for (std::size_t i = 0; i < n_; ++i) into[i] = static_cast<double>(child_[i]);
  }

 private:
  void read_tour(const double* position, std::vector<std::size_t>& tour) const {
    for (std::size_t i = 0; i < n_; ++i) {
      tour[i] = to_city_index(position[i]);
      if (tour[i] >= n_) throw InternalError("a parent is not a tour of the problem's cities");
    }
  }
  void place(std::size_t slot, std::size_t city) {
    child_[slot] = city;
    present_[city] = 1;
  }

  std::size_t n_;
  double mutation_rate_;
  std::vector<std::size_t> p1_, p2_, child_;
  std::vector<unsigned char> present_;
};

}  // namespace

Status PermutationGeneticOptimizer::fit(Problem& problem) {
  record = {};
  const Matrix* d = problem.distance_matrix();
  if (!d) return OptimizationError::invalid_input("GA requires a discrete distance matrix");
  const std::size_t n = d->size();
  if (n < 3) return OptimizationError::invalid_input("distance matrix must have at least 3 cities");
  if (n_individuals == 0 && n_iterations >= 1)
    return OptimizationError::invalid_input("n_individuals must be at least 1 for the genetic optimizer");
  StdRng rng = StdRng::from_seed(random_state);

  const std::size_t size = n_individuals;
  Population pop(size, n), next(size, n);
  for (std::size_t k = 0; k < size; ++k) {
    std::vector<std::size_t> tour = random_permutation(rng, n);
    std::copy(tour.begin(), tour.end(), pop.at(k, n));
  }
  overwrite_rows(initial, pop.positions, n);  // given tours replace the first ones drawn
  std::vector<std::size_t> tour(n);
  // What 2-opt learns about the matrix, once for the whole fit.
  std::optional<TwoOptIndex> index;
  if (use_two_opt && n > 3 && size > 0) index.emplace(*d);
  for (std::size_t k = 0; k < size; ++k) {
    double* position = pop.at(k, n);
    double value = problem.evaluate(std::span<const double>(position, n));
    if (use_two_opt && n > 3) {
      for (std::size_t i = 0; i < n; ++i) tour[i] = to_city_index(position[i]);
      TwoOptOutcome improved = two_opt(tour, *d, *index);
      if (auto* result = std::get_if<TwoOptResult>(&improved)) {
        std::copy(result->tour.begin(), result->tour.end(), position);
        value = result->length;
      }
    }
    pop.values[k] = value;
  }

  std::vector<std::size_t> order, scratch;
  Breeder breeder(n, mutation_rate);
  record.history.reserve(std::min<std::size_t>(n_iterations, std::size_t{1} << 20));
  for (std::size_t g = 0; g < n_iterations; ++g) {
    interruption_point();
    stable_order(pop.values, order, scratch);
    if (order.empty()) throw InternalError("the genetic optimizer has an empty population");
    // The elite (the stored best is its copy until the final population replaces it).
    const std::size_t elite = order[0];
    record.history.push_back(pop.values[elite]);
    std::copy_n(pop.at(elite, n), n, next.at(0, n));
    next.values[0] = pop.values[elite];
    for (std::size_t k = 1; k < size; ++k) {
      double* position = next.at(k, n);
      breeder.child(rng, pop, order, position);
      next.values[k] = problem.evaluate(std::span<const double>(position, n));
    }
    std::swap(pop, next);
  }

  stable_order(pop.values, order, scratch);
  record.population.reserve(size);
  for (std::size_t k : order) record.population.emplace_back(pop.at(k, n), pop.at(k, n) + n);
  if (order.empty()) {
    best_.reset();
  } else {
    best_ = Solution{record.population.front(), pop.values[order[0]], {}, true};
  }
  return std::nullopt;
}

}  // namespace swarmix
