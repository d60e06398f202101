#include "algorithms/simulated_annealing.hpp"

#include <cmath>

#include "algorithms/swarm_common.hpp"
#include "core/interrupt.hpp"

namespace swarmix {

Status SimulatedAnnealing::fit(Problem& problem) {
  record = {};
  auto init = validate_and_init(bounds, problem, random_state);
  if (auto* error = std::get_if<OptimizationError>(&init)) return *error;
  auto& [rng, n, span] = std::get<InitResult>(init);
  const auto& lower = bounds.lower();
  const auto& upper = bounds.upper();

  std::vector<double> current(n);
  draw_position(rng, lower, span, current.data());
  overwrite_rows(initial, current, n);  // a given start point replaces the drawn one
  double current_value = problem.evaluate(current);
  std::vector<double> best = current;
  double best_value = current_value;
  double temperature = initial_temperature;

  std::vector<double> candidate(n);
  const std::size_t T = n_iterations;
  bool stop = iteration_done(0, T, best_value);
  for (std::size_t t = 0; t < T && !stop; ++t) {
    interruption_point();
    for (std::size_t d = 0; d < n; ++d) {
      const double u = rng.u01();
      const double moved = (((u + u) + (-1.0)) * step_scale) * span[d] + current[d];
      candidate[d] = clamp_coordinate(moved, lower[d], upper[d]);
    }
    const double candidate_value = problem.evaluate(candidate);
    const double delta = candidate_value - current_value;
    // A worsening move (or a NaN difference, which exp turns into a rejection) costs a draw.
    bool accept = delta <= 0.0;
    if (!accept) accept = std::exp(-delta / nan_max(temperature, 1e-12)) > rng.u01();
    if (accept) {
      current.swap(candidate);
      current_value = candidate_value;
    }
    if (current_value < best_value) {
      best = current;
      best_value = current_value;
    }
    record.history.push_back(best_value);
    temperature = temperature * cooling_rate;
    stop = iteration_done(t + 1, T, best_value);
  }

  record.population.push_back(std::move(current));
  best_ = Solution{std::move(best), best_value, {}, true};
  return std::nullopt;
}

}  // namespace swarmix
