#include "algorithms/glowworm.hpp"

#include "algorithms/swarm_common.hpp"
#include "core/interrupt.hpp"

#include <cmath>

namespace swarmix {

Status GlowwormOptimizer::fit(Problem& problem) {
  record = {};
  auto init = validate_and_init(bounds, problem, random_state);
  if (auto* error = std::get_if<OptimizationError>(&init)) return *error;
  auto& [rng, d, span] = std::get<InitResult>(init);
  if (n_worms < 2) return OptimizationError::invalid_input("n_worms must be at least 2 for glowworm optimization");

  const auto& lower = bounds.lower();
  const auto& upper = bounds.upper();
  const std::size_t n = n_worms;
  std::vector<double> positions, fitness;  // rows of d, stored contiguously
  start_population(rng, bounds, span, n, initial, problem, positions, fitness);
  std::vector<double> luciferin(n, 1.0), candidate(d);

  const std::size_t b = best_index(fitness);
  std::vector<double> best = row_copy(positions, b, d);
  double best_value = fitness[b];

  const double retained = 1.0 - luciferin_decay;
  const std::size_t T = n_iterations;
  bool stop = iteration_done(0, T, best_value);
  for (std::size_t it = 0; it < T && !stop; ++it) {
    interruption_point();
    // Every value at or below -1 + 1e-12, and NaN, gives the largest gain.
    for (std::size_t i = 0; i < n; ++i)
      luciferin[i] = luciferin_enhancement / nan_max(fitness[i] + 1.0, 1e-12) + retained * luciferin[i];

    for (std::size_t i = 0; i < n; ++i) {
      double* xi = &positions[i * d];
      // The best-valued brighter worm within the radius; the earliest one among equals.
      std::size_t target = n;
      for (std::size_t j = 0; j < n; ++j) {
        if (j == i || !(luciferin[j] > luciferin[i])) continue;
        const double* xj = &positions[j * d];
        double sum = -0.0;
        for (std::size_t k = 0; k < d; ++k) {
          const double diff = xi[k] - xj[k];
          sum = sum + diff * diff;
        }
        if (!(neighborhood_radius >= std::sqrt(sum))) continue;
        if (target == n || fitness[j] < fitness[target]) target = j;
      }
      if (target != n) {
        const double* xt = &positions[target * d];
        for (std::size_t k = 0; k < d; ++k)
          candidate[k] = clamp_coordinate((xt[k] - xi[k]) * step_size + xi[k], lower[k], upper[k]);
        const double value = problem.evaluate(candidate);
        if (value < fitness[i]) {
          std::copy(candidate.begin(), candidate.end(), xi);
          fitness[i] = value;
        }
      }
      if (fitness[i] < best_value) {
        best_value = fitness[i];
        std::copy(xi, xi + d, best.begin());
      }
    }
    record.history.push_back(best_value);
    stop = iteration_done(it + 1, T, best_value);
  }

  record.population = split_rows(positions, d);
  best_ = Solution{std::move(best), best_value, {}, true};
  return std::nullopt;
}

}  // namespace swarmix
