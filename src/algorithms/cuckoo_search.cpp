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
  // Named references, not a structured binding: the lambdas below capture them.
  InitResult& start = std::get<InitResult>(init);
  StdRng& rng = start.rng;
  const std::size_t d = start.n;
  const std::vector<double>& span = start.span;
  if (n_nests < 2) return OptimizationError::invalid_input("n_nests must be at least 2 for cuckoo search");

  const auto& lower = bounds.lower();
  const auto& upper = bounds.upper();
  const std::size_t n = n_nests;
  const std::size_t m = abandoned_per_iteration();
  const std::size_t T = n_iterations;
  std::vector<double> x(checked_mul(n, d)), fitness(n);
  for (std::size_t i = 0; i < n; ++i) draw_position(rng, lower, span, &x[i * d]);
  overwrite_rows(initial, x, d);

  // An iteration's points form one group: every nest's jump (from the nest's own position)
  // and the m fresh positions that replace the worst nests (plain draws; only which nests
  // they replace depends on values). The initial nests join the first iteration's group.
  PointGroup group(d);
  for (std::size_t i = 0; i < n; ++i) std::copy_n(&x[i * d], d, group.add_row());
  auto draw_iteration = [&] {
    for (std::size_t i = 0; i < n; ++i) {
      const double* xi = &x[i * d];
      double* jumped = group.add_row();
      for (std::size_t j = 0; j < d; ++j) {
        double s = heavy_tailed_step(rng);
        jumped[j] = clamp_coordinate(((s * levy_scale) * alpha) * span[j] + xi[j], lower[j], upper[j]);
      }
    }
    for (std::size_t r = 0; r < m; ++r) draw_position(rng, lower, span, group.add_row());
  };
  if (T > 0) draw_iteration();
  group.evaluate(problem);
  for (std::size_t i = 0; i < n; ++i) fitness[i] = group.value(i);
  std::size_t first = n;  // the group row of the iteration's first jump

  std::size_t b = best_index(fitness);
  std::vector<double> best_position = row_copy(x, b, d);
  double best_value = fitness[b];

  // Worst first: descending fitness, NaN counted as the worst; equal values keep index order.
  auto worse = [&fitness](std::size_t p, std::size_t q) { return better_value(fitness[q], fitness[p]); };
  std::vector<std::size_t> rank(n);
  bool stop = iteration_done(0, T, best_value);
  for (std::size_t it = 0; it < T && !stop; ++it) {
    interruption_point();
    if (it > 0) {
      group.clear();
      draw_iteration();
      group.evaluate(problem);
      first = 0;
    }
    // Each nest competes only with its own previous position.
    for (std::size_t i = 0; i < n; ++i) {
      const double value = group.value(first + i);
      if (value < fitness[i]) {
        std::copy_n(group.row(first + i), d, &x[i * d]);
        fitness[i] = value;
      }
    }

    // The m worst nests are re-seeded and take their new value, better or worse.
    std::iota(rank.begin(), rank.end(), std::size_t{0});
    std::stable_sort(rank.begin(), rank.end(), worse);
    for (std::size_t r = 0; r < m; ++r) {
      std::copy_n(group.row(first + n + r), d, &x[rank[r] * d]);
      fitness[rank[r]] = group.value(first + n + r);
    }

    b = best_index(fitness);
    if (fitness[b] < best_value) {
      best_value = fitness[b];
      std::copy_n(&x[b * d], d, best_position.begin());
    }
    record.history.push_back(best_value);
    stop = iteration_done(it + 1, T, best_value);
  }

  record.population = split_rows(x, d);
  best_ = Solution{std::move(best_position), best_value, {}, true};
  return std::nullopt;
}

}  // namespace swarmix
