#include "algorithms/firefly.hpp"

#include <cmath>

#include "algorithms/swarm_common.hpp"
#include "core/interrupt.hpp"

namespace swarmix {

Status FireflyOptimizer::fit(Problem& problem) {
  record = {};
  auto init = validate_and_init(bounds, problem, random_state);
  if (auto* error = std::get_if<OptimizationError>(&init)) return std::move(*error);
  auto& [rng, d, span] = std::get<InitResult>(init);
  if (n_fireflies < 2)
    return OptimizationError::invalid_input("n_fireflies must be at least 2 for firefly optimization");

  const auto& lower = bounds.lower();
  const auto& upper = bounds.upper();
  const std::size_t n = n_fireflies;
  std::vector<double> x, fitness;
  start_population(rng, bounds, span, n, initial, problem, x, fitness);

  std::size_t b = best_index(fitness);
  std::vector<double> best_position = row_copy(x, b, d);
  double best_value = fitness[b];

  std::vector<double> moved(d);
  const std::size_t T = n_iterations;
  bool stop = iteration_done(0, T, best_value);
  for (std::size_t it = 0; it < T && !stop; ++it) {
    interruption_point();
    for (std::size_t i = 0; i < n; ++i) {
      double* xi = &x[i * d];
      for (std::size_t j = 0; j < n; ++j) {
        // Written as a skip so that a NaN on either side still makes the attempt (a NaN
        // firefly even tries toward itself); such attempts are never accepted.
        if (fitness[j] >= fitness[i]) continue;
        const double* xj = &x[j * d];
        double r2 = 0.0;
        for (std::size_t k = 0; k < d; ++k) {
          double diff = xi[k] - xj[k];
          r2 = r2 + diff * diff;
        }
        double r = std::sqrt(r2);
        double attraction = beta0 * std::exp((-gamma * r) * r);
        for (std::size_t k = 0; k < d; ++k) {
          double u = rng.u01();
          double v = ((xj[k] - xi[k]) * attraction + (alpha * (u - 0.5)) * span[k]) + xi[k];
          moved[k] = clamp_coordinate(v, lower[k], upper[k]);
        }
        double value = problem.evaluate(moved);
        if (value < fitness[i]) {
          std::copy(moved.begin(), moved.end(), xi);
          fitness[i] = value;
          if (value < best_value) {
            best_value = value;
            best_position = moved;
          }
        }
      }
    }
    record.history.push_back(best_value);
    stop = iteration_done(it + 1, T, best_value);
  }

  record.population = split_rows(x, d);
  best_ = Solution{std::move(best_position), best_value, {}, true};
  return std::nullopt;
}

}  // namespace swarmix
