#include "algorithms/cuckoo_search.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

#include "algorithms/swarm_common.hpp"
#include "core/interrupt.hpp"

namespace swarmix {

namespace {

// The heavy-tailed step factor: (u - 0.5) / max(|v - 0.5|, 1e-12)^(2/3), u drawn first.
double heavy_tailed_step(StdRng& rng) {
  double u = rng.u01();
  double v = rng.u01();
  return (u - 0.5) / std::pow(nan_max(std::fabs(v - 0.5), 1e-12), 0.6666666666666666);
}

}  // namespace

std::size_t CuckooSearch::abandoned_per_iteration() const {
  const double product = std::ceil(static_cast<double>(n_nests) * pa);
  std::size_t m;
  if (!(product > 0.0))
    m = 0;
  else if (product >= 18446744073709551616.0)  // 2^64
    m = std::numeric_limits<std::size_t>::max();
  else
    m = static_cast<std::size_t>(product);
  return std::min(std::max<std::size_t>(m, 1), n_nests);
}

Status CuckooSearch::fit(Problem& problem) {
  record = {};
  auto init = validate_and_init(bounds, problem, random_state);
  if (auto* error = std::get_if<OptimizationError>(&init)) return std::move(*error);
  auto& [rng, d, span] = std::get<InitResult>(init);
  if (n_nests < 2) return OptimizationError::invalid_input("n_nests must be at least 2 for cuckoo search");

  const auto& lower = bounds.lower();
  const auto& upper = bounds.upper();
  const std::size_t n = n_nests;
  std::vector<double> x, fitness;
  start_population(rng, bounds, span, n, problem, x, fitness);

  std::size_t b = best_index(fitness);
  std::vector<double> best_position = row_copy(x, b, d);
  double best_value = fitness[b];

  // Worst first: descending fitness, NaN counted as the worst; equal values keep index order.
  auto worse = [&fitness](std::size_t p, std::size_t q) { return better_value(fitness[q], fitness[p]); };
  const std::size_t m = abandoned_per_iteration();
  std::vector<std::size_t> rank(n);
  std::vector<double> jumped(d);
  for (std::size_t it = 0; it < n_iterations; ++it) {
    interruption_point();
    // Each nest competes only with its own previous position.
    for (std::size_t i = 0; i < n; ++i) {
      double* xi = &x[i * d];
      for (std::size_t j = 0; j < d; ++j) {
        double s = heavy_tailed_step(rng);
        jumped[j] = clamp_coordinate(((s * levy_scale) * alpha) * span[j] + xi[j], lower[j], upper[j]);
      }
      double value = problem.evaluate(jumped);
      if (value < fitness[i]) {
        std::copy(jumped.begin(), jumped.end(), xi);
        fitness[i] = value;
      }
    }

    // The m worst nests are re-seeded and take their new value, better or worse.
    std::iota(rank.begin(), rank.end(), std::size_t{0});
    std::stable_sort(rank.begin(), rank.end(), worse);
    for (std::size_t r = 0; r < m; ++r) {
      double* xi = &x[rank[r] * d];
      draw_position(rng, lower, span, xi);
      fitness[rank[r]] = problem.evaluate({xi, d});
    }

    b = best_index(fitness);
    if (fitness[b] < best_value) {
      best_value = fitness[b];
      std::copy_n(&x[b * d], d, best_position.begin());
    }
    record.history.push_back(best_value);
  }

  record.population = split_rows(x, d);
  best_ = Solution{std::move(best_position), best_value, {}, true};
  return std::nullopt;
}

}  // namespace swarmix
