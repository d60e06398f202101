#include "algorithms/bacterial_foraging.hpp"

#include "algorithms/swarm_common.hpp"
#include "core/interrupt.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace swarmix {

Status BacterialForagingOptimizer::fit(Problem& problem) {
  record = {};
  auto init = validate_and_init(bounds, problem, random_state);
  if (auto* error = std::get_if<OptimizationError>(&init)) return *error;
  auto& [rng, d, span] = std::get<InitResult>(init);
  if (n_bacteria < 2) return OptimizationError::invalid_input("n_bacteria must be at least 2 for bacterial foraging");

  const auto& lower = bounds.lower();
  const auto& upper = bounds.upper();
  const std::size_t n = n_bacteria;
  std::vector<double> positions, fitness;  // rows of d, stored contiguously
  start_population(rng, bounds, span, n, problem, positions, fitness);
  std::vector<double> candidate(d);

  const std::size_t b = best_index(fitness);
  std::vector<double> best = row_copy(positions, b, d);
  double best_value = fitness[b];

  std::vector<std::size_t> order(n);
  std::vector<double> next_positions(positions.size()), next_fitness(n);
  const std::size_t half = n / 2;
  for (std::size_t it = 0; it < n_iterations; ++it) {
    interruption_point();
    for (std::size_t r = 0; r < n_reproduction_steps; ++r) {
      for (std::size_t c = 0; c < n_chemotactic_steps; ++c) {
        for (std::size_t i = 0; i < n; ++i) {
          double* xi = &positions[i * d];
          for (std::size_t k = 0; k < d; ++k) {
            const double u = rng.u01();
            candidate[k] =
                clamp_coordinate(((u + u) + (-1.0)) * step_scale * span[k] + xi[k], lower[k], upper[k]);
          }
          const double value = problem.evaluate(candidate);
          if (value < fitness[i]) {
            std::copy(candidate.begin(), candidate.end(), xi);
            fitness[i] = value;
          }
          if (fitness[i] < best_value) {
            best_value = fitness[i];
            std::copy(xi, xi + d, best.begin());
          }
        }
      }

      // The better half, cycled from its best member until the colony is full again.
      // NaN ranks after every number, so a NaN bacterium never counts as the better half.
      rank_best_first(order, fitness);
      for (std::size_t slot = 0; slot < n; ++slot) {
        const std::size_t source = order[slot % half];
        std::copy(positions.begin() + source * d, positions.begin() + (source + 1) * d,
                  next_positions.begin() + slot * d);
        next_fitness[slot] = fitness[source];
      }
      positions.swap(next_positions);
      fitness.swap(next_fitness);
      record.history.push_back(best_value);
    }

    for (std::size_t i = 0; i < n; ++i) {
      if (!(rng.u01() < elimination_probability)) continue;
      double* xi = &positions[i * d];
      draw_position(rng, lower, span, xi);
      fitness[i] = problem.evaluate({xi, d});
      if (fitness[i] < best_value) {
        best_value = fitness[i];
        std::copy(xi, xi + d, best.begin());
      }
    }
  }

  record.population = split_rows(positions, d);
  best_ = Solution{std::move(best), best_value, {}, true};
  return std::nullopt;
}

}  // namespace swarmix
