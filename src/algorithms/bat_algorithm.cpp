#include "algorithms/bat_algorithm.hpp"

#include "algorithms/swarm_common.hpp"
#include "core/interrupt.hpp"

#include <cmath>

namespace swarmix {

Status BatAlgorithm::fit(Problem& problem) {
  record = {};
  auto init = validate_and_init(bounds, problem, random_state);
  if (auto* error = std::get_if<OptimizationError>(&init)) return *error;
  auto& [rng, d, span] = std::get<InitResult>(init);
  if (n_bats < 2) return OptimizationError::invalid_input("n_bats must be at least 2 for bat algorithm");

  const auto& lower = bounds.lower();
  const auto& upper = bounds.upper();
  const std::size_t n = n_bats;
  // Rows of d, stored contiguously.
  std::vector<double> x, fitness;
  start_population(rng, bounds, span, n, initial, problem, x, fitness);
  std::vector<double> v(x.size(), 0.0), loud(n, loudness), pulse(n, pulse_rate);

  const std::size_t b = best_index(fitness);
  std::vector<double> best = row_copy(x, b, d);
  double best_value = fitness[b];

  const double frequency_range = fmax - fmin;
  // A bat flies relative to the best position so far: one evaluation at a time.
  const std::size_t T = n_iterations;
  bool stop = iteration_done(0, T, best_value);
  for (std::size_t k = 1; k <= T && !stop; ++k) {
    interruption_point();
    const double kf = static_cast<double>(k);
    for (std::size_t i = 0; i < n; ++i) {
      double* xi = &x[i * d];
      double* vi = &v[i * d];
      const double freq = rng.u01() * frequency_range + fmin;
      for (std::size_t j = 0; j < d; ++j) {
        vi[j] = (xi[j] - best[j]) * freq + vi[j];
        xi[j] = clamp_coordinate(xi[j] + vi[j], lower[j], upper[j]);
      }
      // The walk replaces the flown position; the velocity keeps its new value.
      if (rng.u01() > pulse[i]) {
        for (std::size_t j = 0; j < d; ++j) {
          const double z = rng.n01();
          xi[j] = clamp_coordinate(best[j] + (z * 0.001), lower[j], upper[j]);
        }
      }
      const double value = problem.evaluate({xi, d});
      // A rejected move leaves the bat where it flew, with its older recorded value.
      if (value <= fitness[i] && rng.u01() < loud[i]) {
        fitness[i] = value;
        loud[i] = alpha * loud[i];
        pulse[i] = (1.0 - std::exp((-gamma) * kf)) * pulse_rate;
        if (value < best_value) {
          best_value = value;
          std::copy(xi, xi + d, best.begin());
        }
      }
    }
    record.history.push_back(best_value);
    stop = iteration_done(k, T, best_value);
  }

  record.population = split_rows(x, d);
  best_ = Solution{std::move(best), best_value, {}, true};
  return std::nullopt;
}

}  // namespace swarmix
