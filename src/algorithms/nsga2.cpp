#include "algorithms/nsga2.hpp"

#include <limits>

#include "core/interrupt.hpp"

namespace swarmix {

Status Nsga2Optimizer::fit(VectorProblem& problem) {
  population.clear();
  const std::size_t dims = bounds.size();
  if (dims == 0) return OptimizationError::invalid_input("bounds must not be empty");
  StdRng rng = StdRng::from_seed(random_state);
  const std::size_t N = n_individuals;

  // The initial population is one group, then each generation's offspring.
  std::vector<ParetoPoint> points;
  append_evaluated(problem, initialize_continuous_population(rng, bounds, N, initial), points);

  std::vector<std::size_t> rank;
  std::vector<double> crowding;
  std::vector<std::vector<double>> children;
  const std::size_t T = n_iterations;
  const double no_best = std::numeric_limits<double>::quiet_NaN();
  bool stop = iteration_done(0, T, no_best);
  for (std::size_t generation = 0; generation < T && !stop; ++generation) {
    interruption_point();
    const std::size_t n = points.size();
    if (N > 0 && n == 0) {
      return OptimizationError::convergence(
          "population is empty: every member is dominated by another (NaN objective values or vectors of "
          "different lengths)");
    }
    // Members caught in a dominance cycle are in no front: worst rank, no crowding.
    rank.assign(n, std::numeric_limits<std::size_t>::max());
    crowding.assign(n, 0.0);
    const std::vector<Front> fronts = non_dominated_sort(points);
    for (std::size_t r = 0; r < fronts.size(); ++r) {
      for (const auto& [index, distance] : crowding_distance(points, fronts[r])) {
        rank[index] = r;
        crowding[index] = distance;
      }
    }
    // Ties in rank and crowding (NaN included) go to the second draw.
    auto tournament = [&]() -> const std::vector<double>& {
      const std::size_t a = rng.index(n);
      const std::size_t b = rng.index(n);
      const bool a_wins = rank[a] < rank[b] || (rank[a] == rank[b] && crowding[a] > crowding[b]);
      return points[a_wins ? a : b].position;
    };

    children.clear();
    for (std::size_t c = 0; c < N; ++c) {
      const std::vector<double>& parent1 = tournament();
      const std::vector<double>& parent2 = tournament();
      std::vector<double> child = parent1;
      if (rng.u01() < crossover_rate) {
        const double alpha = rng.u01();
        for (std::size_t d = 0; d < dims; ++d) child[d] = parent2[d] * (1.0 - alpha) + parent1[d] * alpha;
      }
      for (std::size_t d = 0; d < dims; ++d) {
        if (rng.u01() < mutation_rate) {
          const double v = rng.u01();
          child[d] = ((v + v) + (-1.0)) * mutation_scale + child[d];
        }
      }
      bounds.clamp(child);
      children.push_back(std::move(child));
    }

    // Parents first, then the offspring in the order they were made.
    std::vector<ParetoPoint> combined = std::move(points);
    combined.reserve(n + N);
    append_evaluated(problem, std::move(children), combined);

    // Survival: whole fronts while they fit, then the least crowded members of the first
    // front that does not. Each point is kept at most once, so taken points are moved.
    const std::vector<Survivor> survivors = select_survivors(combined, N);
    points = std::vector<ParetoPoint>();
    points.reserve(N);
    for (const Survivor& s : survivors) points.push_back(std::move(combined[s.index]));
    stop = iteration_done(generation + 1, T, no_best);
  }

  population.reserve(points.size());
  for (const ParetoPoint& p : points) population.push_back(p.position);
  archive = archive_from_population(std::move(points), archive_size);
  return std::nullopt;
}

}  // namespace swarmix
