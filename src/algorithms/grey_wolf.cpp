#include "algorithms/grey_wolf.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "algorithms/swarm_common.hpp"
#include "core/interrupt.hpp"

namespace swarmix {

Status GreyWolfOptimizer::fit(Problem& problem) {
  record = {};
  auto init = validate_and_init(bounds, problem, random_state);
  if (auto* error = std::get_if<OptimizationError>(&init)) return std::move(*error);
  auto& [rng, d, span] = std::get<InitResult>(init);
  if (n_wolves < 3) return OptimizationError::invalid_input("n_wolves must be at least 3 for grey wolf optimization");

  const auto& lower = bounds.lower();
  const auto& upper = bounds.upper();
  const std::size_t W = n_wolves;
  std::vector<double> x, fitness;
  start_population(rng, bounds, span, W, initial, problem, x, fitness);

  std::size_t b = best_index(fitness);
  std::vector<double> best_position = row_copy(x, b, d);
  double best_value = fitness[b];

  std::vector<std::size_t> rank(W);
  std::vector<double> alpha(d), beta(d), delta(d), moved(checked_mul(W, d)), values(W);
  const std::size_t T = n_iterations;
  const double divisor = static_cast<double>(T > 1 ? T - 1 : 1);
  bool stop = iteration_done(0, T, best_value);
  for (std::size_t t = 0; t < T && !stop; ++t) {
    interruption_point();
    // Ascending fitness; NaN ranks after every number, equal values keep index order.
    rank_best_first(rank, fitness);
    std::copy_n(&x[rank[0] * d], d, alpha.begin());
    std::copy_n(&x[rank[1] * d], d, beta.begin());
    std::copy_n(&x[rank[2] * d], d, delta.begin());

    // The leaders stay fixed for the iteration and a wolf moves from its own position, so
    // the whole pack moves, then is evaluated as one group.
    const double a = 2.0 * (1.0 - static_cast<double>(t) / divisor);
    const double two_a = a + a;
    for (std::size_t i = 0; i < W; ++i) {
      const double* xi = &x[i * d];
      double* mi = &moved[i * d];
      for (std::size_t j = 0; j < d; ++j) {
        double r1a = rng.u01(), r2a = rng.u01();
        double r1b = rng.u01(), r2b = rng.u01();
        double r1d = rng.u01(), r2d = rng.u01();
        double X = xi[j];
        double x1 = alpha[j] - std::fabs((r2a * 2.0) * alpha[j] - X) * (r1a * two_a - a);
        double x2 = beta[j] - std::fabs((r2b * 2.0) * beta[j] - X) * (r1b * two_a - a);
        double x3 = delta[j] - std::fabs((r2d * 2.0) * delta[j] - X) * (r1d * two_a - a);
        mi[j] = clamp_coordinate(((x1 + x2) + x3) / 3.0, lower[j], upper[j]);
      }
    }
    problem.evaluate_group(moved, values);
    x.swap(moved);
    for (std::size_t i = 0; i < W; ++i) {
      fitness[i] = values[i];
      if (values[i] < best_value) {
        best_value = values[i];
        std::copy_n(&x[i * d], d, best_position.begin());
      }
    }
    record.history.push_back(best_value);
    stop = iteration_done(t + 1, T, best_value);
  }

  record.population = split_rows(x, d);
  best_ = Solution{std::move(best_position), best_value, {}, true};
  return std::nullopt;
}

}  // namespace swarmix
