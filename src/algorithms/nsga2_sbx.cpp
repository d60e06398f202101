#include "algorithms/nsga2_sbx.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <set>
#include <utility>

#include "core/interrupt.hpp"
#include "core/numeric.hpp"

namespace swarmix {

namespace {

// Matings per offspring member after which a repeated child is kept.
constexpr std::size_t kPatience = 10;

// The spread factor of one child: the inverse of the polynomial distribution's cumulative
// function at u, its tail beyond the box cut off (1 / alpha is the mass left inside).
double spread_factor(double u, double alpha, double exponent) {
  if (u <= 1.0 / alpha) return std::pow(u * alpha, exponent);
  return std::pow(1.0 / (2.0 - u * alpha), exponent);
}

}  // namespace

void sbx_crossover(StdRng& rng, const Bounds& bounds, double rate, double eta, std::span<double> a,
                   std::span<double> b) {
  if (!(rng.u01() < rate)) return;
  const auto& lower = bounds.lower();
  const auto& upper = bounds.upper();
  const double exponent = 1.0 / (eta + 1.0);
  const double tail = -(eta + 1.0);
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (!(rng.u01() < 0.5)) continue;
    const double x1 = a[i], x2 = b[i];
    if (!(std::fabs(x1 - x2) > 1e-14)) continue;
    const double y1 = nan_min(x1, x2), y2 = nan_max(x1, x2);
    const double lo = lower[i], hi = upper[i];
    const double gap = y2 - y1;
    const double u = rng.u01();
    // The lower child: its distribution cut at the lower bound.
    double beta = 1.0 + 2.0 * (y1 - lo) / gap;
    double alpha = 2.0 - std::pow(beta, tail);
    double betaq = spread_factor(u, alpha, exponent);
    double c1 = 0.5 * ((y1 + y2) - betaq * gap);
    // The upper child: cut at the upper bound.
    beta = 1.0 + 2.0 * (hi - y2) / gap;
    alpha = 2.0 - std::pow(beta, tail);
    betaq = spread_factor(u, alpha, exponent);
    double c2 = 0.5 * ((y1 + y2) + betaq * gap);
    c1 = clamp_coordinate(c1, lo, hi);
    c2 = clamp_coordinate(c2, lo, hi);
    if (rng.u01() < 0.5) std::swap(c1, c2);
    a[i] = c1;
    b[i] = c2;
  }
}

void polynomial_mutation(StdRng& rng, const Bounds& bounds, double rate, double eta, std::span<double> x) {
  const auto& lower = bounds.lower();
  const auto& upper = bounds.upper();
  const double exponent = 1.0 / (eta + 1.0);
  for (std::size_t i = 0; i < x.size(); ++i) {
    if (!(rng.u01() < rate)) continue;
    const double u = rng.u01();
    const double lo = lower[i], hi = upper[i];
    const double span = hi - lo;
    if (!(span > 0.0) || !std::isfinite(span)) continue;
    const double y = x[i];
    double deltaq;
    if (u <= 0.5) {
      const double rest = 1.0 - (y - lo) / span;
      const double value = 2.0 * u + (1.0 - 2.0 * u) * std::pow(rest, eta + 1.0);
      deltaq = std::pow(value, exponent) - 1.0;
    } else {
      const double rest = 1.0 - (hi - y) / span;
      const double value = 2.0 * (1.0 - u) + 2.0 * (u - 0.5) * std::pow(rest, eta + 1.0);
      deltaq = 1.0 - std::pow(value, exponent);
    }
    x[i] = clamp_coordinate(y + deltaq * span, lo, hi);
  }
}

void make_offspring(StdRng& rng, const Bounds& bounds, const Variation& variation,
                    std::span<const ParetoPoint> population, std::size_t n, const ChooseParents& parents,
                    std::vector<double>& children) {
  const std::size_t dims = bounds.size();
  children.assign(checked_mul(n, dims), 0.0);
  std::vector<double> pair_a(dims), pair_b(dims);
  // Rows ordered by their bits: a strict order even with NaN coordinates (NaN bounds).
  auto row_less = [dims](const double* x, const double* y) {
    for (std::size_t j = 0; j < dims; ++j) {
      const std::uint64_t a = std::bit_cast<std::uint64_t>(x[j]), b = std::bit_cast<std::uint64_t>(y[j]);
      if (a != b) return a < b;
    }
    return false;
  };
  std::set<const double*, decltype(row_less)> seen(row_less);
  for (const ParetoPoint& p : population) seen.insert(p.position.data());
  std::size_t made = 0;
  for (std::size_t matings = 0; made < n; ++matings) {
    const bool distinct = matings < kPatience * n;
    const auto [parent1, parent2] = parents();
    std::copy(parent1, parent1 + dims, pair_a.begin());
    std::copy(parent2, parent2 + dims, pair_b.begin());
    sbx_crossover(rng, bounds, variation.crossover_rate, variation.crossover_eta, pair_a, pair_b);
    for (std::vector<double>* child : {&pair_a, &pair_b}) {
      if (made == n) break;
      polynomial_mutation(rng, bounds, variation.mutation_rate, variation.mutation_eta, *child);
      if (distinct && seen.count(child->data())) continue;
      double* row = &children[made * dims];
      std::copy(child->begin(), child->end(), row);
      seen.insert(row);
      ++made;
    }
  }
}

Status Nsga2Sbx::fit(VectorProblem& problem) {
  population.clear();
  population_values.clear();
  front.clear();
  history.clear();
  const std::size_t dims = bounds.size();
  if (dims == 0) return OptimizationError::invalid_input("bounds must not be empty");
  if (n_individuals == 0) return OptimizationError::invalid_input("n_individuals must be at least 1");
  if (!(crossover_eta >= 0.0)) return OptimizationError::invalid_input("crossover_eta must be at least 0");
  if (!(mutation_eta >= 0.0)) return OptimizationError::invalid_input("mutation_eta must be at least 0");
  StdRng rng = StdRng::from_seed(random_state);
  const std::size_t N = n_individuals;
  const double pm = mutation_rate ? *mutation_rate : 1.0 / static_cast<double>(dims);

  // The start is one group, then each generation's offspring.
  std::vector<ParetoPoint> points;
  std::vector<std::size_t> rank;
  std::vector<double> crowding;
  // The survivors of `pool` become the population, in their order, with their ranks and
  // crowding distances; returns how many are in the first front.
  auto survive = [&](std::vector<ParetoPoint>&& pool) {
    const std::vector<Survivor> survivors = select_survivors(pool, N);
    points.clear();
    points.reserve(survivors.size());
    rank.clear();
    crowding.clear();
    std::size_t first_front = 0;
    for (const Survivor& s : survivors) {
      points.push_back(std::move(pool[s.index]));
      rank.push_back(s.rank);
      crowding.push_back(s.crowding);
      first_front += s.rank == 0;
    }
    return first_front;
  };
  std::vector<ParetoPoint> start;
  append_evaluated(problem, initialize_continuous_population(rng, bounds, N, initial), start);
  survive(std::move(start));

  std::vector<double> children;
  std::vector<std::size_t> entrants;
  const Variation variation{crossover_rate, crossover_eta, pm, mutation_eta};
  std::vector<std::vector<double>> offspring_values;
  const std::size_t T = n_iterations;
  const double no_best = std::numeric_limits<double>::quiet_NaN();
  bool stop = iteration_done(0, T, no_best);
  for (std::size_t generation = 0; generation < T && !stop; ++generation) {
    interruption_point();
    const std::size_t n = points.size();
    if (n == 0) {
      return OptimizationError::convergence(
          "population is empty: every member is dominated by another (vectors of different lengths)");
    }
    // Tournaments without replacement: the entrants are read from shuffled copies of the
    // population, two at a time (a new shuffle when fewer than two are left), so every member
    // enters equally often. An entrant that dominates the other wins, otherwise the one with
    // the larger crowding distance (within its own front); a tie goes to the first entrant.
    std::size_t next_entrant = n;
    auto entrant = [&]() {
      if (next_entrant >= n) {
        entrants.resize(n);
        for (std::size_t i = 0; i < n; ++i) entrants[i] = i;
        rng.shuffle(entrants);
        next_entrant = 0;
      }
      return entrants[next_entrant++];
    };
    auto tournament = [&]() -> const double* {
      if (n == 1) return points[0].position.data();
      if (next_entrant + 2 > n) next_entrant = n;
      const std::size_t a = entrant();
      const std::size_t b = entrant();
      const bool b_wins = dominates(points[b].objectives, points[a].objectives) ||
                          (!dominates(points[a].objectives, points[b].objectives) && crowding[b] > crowding[a]);
      return points[b_wins ? b : a].position.data();
    };
    make_offspring(rng, bounds, variation, points, N,
                   [&] { return std::pair<const double*, const double*>{tournament(), tournament()}; }, children);
    offspring_values.resize(N);
    problem.evaluate_group(children, offspring_values);

    // Parents first, then the offspring in the order they were made.
    std::vector<ParetoPoint> combined = std::move(points);
    combined.reserve(n + N);
    for (std::size_t c = 0; c < N; ++c)
      combined.push_back({std::vector<double>(children.begin() + static_cast<std::ptrdiff_t>(c * dims),
                                              children.begin() + static_cast<std::ptrdiff_t>((c + 1) * dims)),
                          std::move(offspring_values[c])});
    history.push_back(static_cast<double>(survive(std::move(combined))));
    stop = iteration_done(generation + 1, T, no_best);
  }

  population.reserve(points.size());
  population_values.reserve(points.size());
  for (std::size_t i = 0; i < points.size(); ++i) {
    population.push_back(points[i].position);
    population_values.push_back(points[i].objectives);
    if (rank[i] == 0) front.push_back(points[i]);
  }
  return std::nullopt;
}

}  // namespace swarmix
