#include "algorithms/binary_particle_swarm.hpp"

#include <cmath>
#include <limits>

#include "algorithms/swarm_common.hpp"
#include "core/interrupt.hpp"

namespace swarmix {

Status BinaryParticleSwarm::fit(Problem& problem) {
  record = {};
  const std::size_t n = problem.dimensions();
  if (n == 0) return OptimizationError::invalid_input("binary PSO requires at least one dimension");
  StdRng rng = StdRng::from_seed(random_state);

  const double inf = std::numeric_limits<double>::infinity();
  const std::size_t P = n_particles;
  // Bits are held as the 0.0/1.0 values the objective receives; rows of n, contiguous.
  const std::size_t cells = checked_mul(P, n);
  std::vector<double> positions(cells), velocities(cells, 0.0);
  for (double& bit : positions) bit = rng.u01() < 0.5 ? 1.0 : 0.0;
  overwrite_rows(initial, positions, n);
  std::vector<double> best_positions = positions;
  std::vector<double> best_values(P, inf);
  std::vector<double> global_best_position(n, 0.0);
  double global_best_value = inf;

  problem.evaluate_group(positions, best_values);
  take_better_row(positions, best_values, n, global_best_position, global_best_value);

  // Each move follows the best position so far: one evaluation at a time.
  const std::size_t T = n_iterations;
  bool stop = iteration_done(0, T, global_best_value);
  for (std::size_t it = 0; it < T && !stop; ++it) {
    interruption_point();
    for (std::size_t i = 0; i < P; ++i) {
      double* x = &positions[i * n];
      double* v = &velocities[i * n];
      double* pbest = &best_positions[i * n];
      for (std::size_t d = 0; d < n; ++d) {
        const double r1 = rng.u01();
        const double r2 = rng.u01();
        const double t = (pbest[d] - x[d]) * (r1 * c1) + w * v[d];
        v[d] = (global_best_position[d] - x[d]) * (r2 * c2) + t;
        const double s = std::exp(-v[d]);
        const double r3 = rng.u01();
        // A NaN velocity gives 0: the comparison with a NaN probability is false.
        x[d] = r3 < 1.0 / (s + 1.0) ? 1.0 : 0.0;
      }
      const double f = problem.evaluate({x, n});
      if (f < best_values[i]) {
        best_values[i] = f;
        std::copy(x, x + n, pbest);
        if (f < global_best_value) {
          std::copy(x, x + n, global_best_position.begin());
          global_best_value = f;
        }
      }
    }
    record.history.push_back(global_best_value);
    stop = iteration_done(it + 1, T, global_best_value);
  }

  best_ = Solution{std::move(global_best_position), global_best_value, {}, true};
  record.population = split_rows(positions, n);
  return std::nullopt;
}

}  // namespace swarmix
