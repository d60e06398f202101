#include "algorithms/mopso.hpp"

#include <limits>

#include "core/interrupt.hpp"

namespace swarmix {

Status MopsoOptimizer::fit(VectorProblem& problem) {
  population.clear();
  const std::size_t dims = bounds.size();
  if (dims == 0) return OptimizationError::invalid_input("bounds must not be empty");
  const std::size_t P = n_particles;
  // Every move needs a leader from the archive, which could never hold one.
  if (archive_size == 0 && P > 0 && n_iterations > 0)
    return OptimizationError::invalid_input("archive_size must be at least 1 for MOPSO");
  StdRng rng = StdRng::from_seed(random_state);

  std::vector<std::vector<double>> positions = initialize_continuous_population(rng, bounds, P, initial);
  std::vector<double> velocities(checked_mul(P, dims), 0.0);
  // The initial swarm is one group; so is each iteration's swarm, which moves while the
  // archive (and so every leader) stays fixed and reads only each particle's own best.
  std::vector<double> flat;
  std::vector<std::vector<double>> values;
  evaluate_rows(problem, positions, flat, values);
  std::vector<ParetoPoint> best;  // personal bests
  best.reserve(P);
  for (std::size_t i = 0; i < P; ++i) best.push_back({positions[i], std::move(values[i])});
  archive = archive_from_population(best, archive_size);

  std::vector<std::size_t> leaders;
  const std::size_t T = n_iterations;
  const double no_best = std::numeric_limits<double>::quiet_NaN();
  bool stop = iteration_done(0, T, no_best);
  for (std::size_t t = 0; t < T && !stop; ++t) {
    interruption_point();
    if (P > 0) {
      // The archive stays fixed while the swarm moves, so every particle draws its leader
      // from the same front.
      leaders.clear();
      if (archive.size() != 1) {
        std::vector<Front> fronts = non_dominated_sort(archive);
        if (fronts.empty()) {
          return OptimizationError::convergence(
              "archive is empty: every point is dominated by another (NaN objective values or vectors of "
              "different lengths)");
        }
        leaders = std::move(fronts.front());
      }
    }
    for (std::size_t i = 0; i < P; ++i) {
      const std::vector<double>& leader =
          archive.size() == 1 ? archive.front().position : archive[leaders[rng.slice_index(leaders.size())]].position;
      std::vector<double>& x = positions[i];
      double* v = &velocities[i * dims];
      const std::vector<double>& pbest = best[i].position;
      for (std::size_t d = 0; d < dims; ++d) {
        const double r1 = rng.u01();
        const double r2 = rng.u01();
        v[d] = ((leader[d] - x[d]) * (c2 * r2)) + (((pbest[d] - x[d]) * (c1 * r1)) + w * v[d]);
        x[d] = x[d] + v[d];
      }
      bounds.clamp(x);  // the velocity keeps its unclamped value
    }
    evaluate_rows(problem, positions, flat, values);
    for (std::size_t i = 0; i < P; ++i)
      if (dominates(values[i], best[i].objectives)) best[i] = {positions[i], std::move(values[i])};
    // Duplicates are kept: a personal best already in the archive is added again.
    std::vector<ParetoPoint> candidates = std::move(archive);
    candidates.insert(candidates.end(), best.begin(), best.end());
    archive = archive_from_population(std::move(candidates), archive_size);
    stop = iteration_done(t + 1, T, no_best);
  }

  population = std::move(positions);
  return std::nullopt;
}

}  // namespace swarmix
