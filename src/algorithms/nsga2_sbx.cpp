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

std::pair<std::size_t, std::size_t> ShuffledPairs::draw(StdRng& rng) {
  if (next_ + 2 > n_) {
    order_.resize(n_);
    for (std::size_t i = 0; i < n_; ++i) order_[i] = i;
    rng.shuffle(order_);
    next_ = 0;
  }
  next_ += 2;
  return {order_[next_ - 2], order_[next_ - 1]};
}

void round_whole(std::span<double> x, std::span<const std::size_t> integer, const Bounds& bounds) {
  round_integers(x.data(), integer, bounds.lower(), bounds.upper());
  for (std::size_t j : integer) x[j] += 0.0;
}

void make_offspring(StdRng& rng, const Bounds& bounds, const Variation& variation,
                    std::span<const ParetoPoint> population, std::size_t n, const ChooseParents& parents,
                    std::vector<double>& children) {
  const std::size_t dims = bounds.size();
  children.assign(checked_mul(n, dims), 0.0);
  std::vector<double> pair_a(dims), pair_b(dims);
  const std::vector<std::size_t>& whole = variation.integer;
  std::vector<double> before(whole.size()), mutated(whole.size());
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
    if (!whole.empty()) {
      round_whole(pair_a, whole, bounds);
      round_whole(pair_b, whole, bounds);
    }
    for (std::vector<double>* child : {&pair_a, &pair_b}) {
      if (made == n) break;
      std::vector<double>& x = *child;
      for (std::size_t k = 0; k < whole.size(); ++k) before[k] = x[whole[k]];
      polynomial_mutation(rng, bounds, variation.mutation_rate, variation.mutation_eta, x);
      if (!whole.empty()) {
        for (std::size_t k = 0; k < whole.size(); ++k) mutated[k] = x[whole[k]];
        round_whole(x, whole, bounds);
        // A child that rounded back onto a member or an earlier child takes a unit step at each
        // integer coordinate whose mutation rounded back, toward the mutated value (which lies
        // in the box, so the step stays inside the whole bounds).
        if (seen.count(x.data()))
          for (std::size_t k = 0; k < whole.size(); ++k) {
            double& v = x[whole[k]];
            if (v == before[k] && mutated[k] != before[k]) v = before[k] + (mutated[k] > before[k] ? 1.0 : -1.0);
          }
      }
      if (distinct && seen.count(child->data())) continue;
      double* row = &children[made * dims];
      std::copy(child->begin(), child->end(), row);
      seen.insert(row);
      ++made;
    }
  }
}

ParetoPoint evaluated_point(std::vector<double>&& position, std::vector<double>&& row, const ConstraintCounts& counts) {
  ParetoPoint point{std::move(position), std::move(row)};
  if (counts.any()) {
    point.violation = row_violation(point.objectives, counts);
    const auto split = point.objectives.end() - static_cast<std::ptrdiff_t>(counts.total());
    point.constraint_values.assign(split, point.objectives.end());
    point.objectives.erase(split, point.objectives.end());
  }
  return point;
}

std::vector<ParetoPoint> start_points(VectorProblem& problem, StdRng& rng, const Bounds& bounds, std::size_t n,
                                      const Matrix& initial, const Variation& variation,
                                      const ConstraintCounts& counts) {
  std::vector<double> flat;
  for (std::vector<double>& x : initialize_continuous_population(rng, bounds, n, initial)) {
    if (!variation.integer.empty()) round_whole(x, variation.integer, bounds);
    flat.insert(flat.end(), x.begin(), x.end());
  }
  std::vector<ParetoPoint> points;
  append_offspring(problem, flat, bounds.size(), counts, points);
  return points;
}

void append_offspring(VectorProblem& problem, const std::vector<double>& children, std::size_t dims,
                      const ConstraintCounts& counts, std::vector<ParetoPoint>& points) {
  const std::size_t n = children.size() / dims;
  std::vector<std::vector<double>> values(n);
  problem.evaluate_group(children, values);
  points.reserve(points.size() + n);
  for (std::size_t c = 0; c < n; ++c)
    points.push_back(evaluated_point(std::vector<double>(children.begin() + static_cast<std::ptrdiff_t>(c * dims),
                                                         children.begin() + static_cast<std::ptrdiff_t>((c + 1) * dims)),
                                     std::move(values[c]), counts));
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
  if (!integer.empty() && integer.size() != dims) throw InternalError("an integer mask of another length");
  StdRng rng = StdRng::from_seed(random_state);
  const std::size_t N = n_individuals;
  const double pm = mutation_rate ? *mutation_rate : 1.0 / static_cast<double>(dims);
  const Variation variation{crossover_rate, crossover_eta, pm, mutation_eta, integer_indices(integer)};

  // The start is one group, then each generation's offspring.
  std::vector<ParetoPoint> points;
  std::vector<std::size_t> rank;
  std::vector<double> crowding;
  // The survivors of `pool` become the population, in their order, with their ranks and
  // crowding distances; returns how many are in the first front.
  auto survive = [&](std::vector<ParetoPoint>&& pool) {
    const std::vector<Survivor> survivors =
        constraints.any() ? select_survivors(pool, constrained_sort(pool), N) : select_survivors(pool, N);
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
  survive(start_points(problem, rng, bounds, N, initial, variation, constraints));

  std::vector<double> children;
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
    // Tournaments without replacement: the entrants are read in pairs from shuffled copies of
    // the population, so every member enters equally often. An entrant that
    // constraint-dominates the other wins, otherwise the one with the larger crowding distance
    // (within its own front); a tie goes to the first entrant.
    ShuffledPairs entrants(n);
    auto beats = [&](std::size_t p, std::size_t q) {
      return constraint_dominates(points[p].violation, points[q].violation,
                                  [&] { return dominates(points[p].objectives, points[q].objectives); });
    };
    auto tournament = [&]() -> const double* {
      if (n == 1) return points[0].position.data();
      const auto [a, b] = entrants.draw(rng);
      const bool b_wins = beats(b, a) || (!beats(a, b) && crowding[b] > crowding[a]);
      return points[b_wins ? b : a].position.data();
    };
    make_offspring(rng, bounds, variation, points, N,
                   [&] { return std::pair<const double*, const double*>{tournament(), tournament()}; }, children);

    // Parents first, then the offspring in the order they were made.
    std::vector<ParetoPoint> combined = std::move(points);
    append_offspring(problem, children, dims, constraints, combined);
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
