#include "algorithms/particle_swarm.hpp"

#include <limits>

#include "algorithms/swarm_common.hpp"
#include "core/interrupt.hpp"
#include "core/numeric.hpp"

namespace swarmix {

Status ParticleSwarm::fit(Problem& problem) {
  const auto& lower = bounds.lower();
  const auto& upper = bounds.upper();
  const std::size_t n = lower.size();
  if (n == 0) return OptimizationError::invalid_input("Bounds must have at least one dimension");
  if (problem.dimensions() != n) return dimension_mismatch(problem.dimensions(), n);
  StdRng rng = StdRng::from_seed(random_state);

  const double inf = std::numeric_limits<double>::infinity();
  const std::size_t P = n_particles;
  std::vector<double> span(n);
  for (std::size_t d = 0; d < n; ++d) span[d] = upper[d] - lower[d];
  // Rows of n, stored contiguously.
  const std::size_t cells = checked_mul(P, n);
  std::vector<double> positions(cells, 0.0), velocities(cells, 0.0), best_positions(cells, 0.0);
  std::vector<double> best_values(P, inf);
  std::vector<double> global_best_position(n, 0.0);
  double global_best_value = inf;

  // The start: every particle drawn (position and velocity, coordinate by coordinate), the
  // given points put in the first positions, then the swarm evaluated as one group.
  for (std::size_t i = 0; i < P; ++i) {
    double* x = &positions[i * n];
    double* v = &velocities[i * n];
    for (std::size_t d = 0; d < n; ++d) {
      double u = rng.u01();
      x[d] = lower[d] + u * span[d];
      double u2 = rng.u01();
      v[d] = ((u2 + u2) + (-1.0)) * span[d] * 0.1;
    }
  }
  overwrite_rows(initial, positions, n);
  problem.evaluate_group(positions, best_values);
  best_positions = positions;
  take_better_row(positions, best_values, n, global_best_position, global_best_value);

  // A moving particle follows the best position found so far, its predecessors' moves
  // included: one evaluation at a time.
  const std::size_t T = n_iterations;
  bool stop = iteration_done(0, T, global_best_value);
  for (std::size_t it = 0; it < T && !stop; ++it) {
    interruption_point();
    for (std::size_t i = 0; i < P; ++i) {
      double* x = &positions[i * n];
      double* v = &velocities[i * n];
      const double* pbest = &best_positions[i * n];
      for (std::size_t d = 0; d < n; ++d) {
        double r1 = rng.u01();
        double r2 = rng.u01();
        double xd = x[d];
        double t = (pbest[d] - xd) * (r1 * c1) + v[d] * w;
        v[d] = (global_best_position[d] - xd) * (r2 * c2) + t;
        // Clamped at once (the box rule: raised to lower, then lowered to upper, NaN to
        // lower); the velocity keeps its unclamped value.
        x[d] = clamp_coordinate(v[d] + xd, lower[d], upper[d]);
      }
      double f = problem.evaluate({x, n});
      if (f < best_values[i]) {
        best_values[i] = f;
        std::copy(x, x + n, &best_positions[i * n]);
        if (f < global_best_value) {
          std::copy(x, x + n, global_best_position.begin());
          global_best_value = f;
        }
      }
    }
    stop = iteration_done(it + 1, T, global_best_value);
  }

  best_ = Solution{std::move(global_best_position), global_best_value, {}, true};
  return std::nullopt;
}

}  // namespace swarmix
