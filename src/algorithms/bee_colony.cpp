#include "algorithms/bee_colony.hpp"

#include <algorithm>
#include <cmath>

#include "algorithms/swarm_common.hpp"
#include "core/interrupt.hpp"

namespace swarmix {

namespace {

// The working state of one fit.
struct Colony {
  const Bounds& bounds;
  Problem& problem;
  StdRng& rng;
  std::size_t d;
  std::size_t sources;
  std::vector<double> positions;  // `sources` rows of d
  std::vector<double> fitness;
  std::vector<std::size_t> trials;
  // Candidates wait in a group while no later candidate reads their source (the partners
  // are plain draws).
  TrialGroup group;

  double* row(std::size_t i) { return &positions[i * d]; }

  // Neighbour search on source i: one coordinate moves (toward or away from a random
  // partner, or by a tenth of the box width when the colony has a single source).
  void exploit_source(std::size_t i) {
    const auto& lower = bounds.lower();
    const auto& upper = bounds.upper();
    std::size_t k = i, j;
    double phi;
    if (sources == 1) {
      j = rng.index(d);
      double u = rng.u01();
      phi = (u + u) + (-1.0);
    } else {
      do k = rng.index(sources);
      while (k == i);
      j = rng.index(d);
      double u = rng.u01();
      phi = (u + u) + (-1.0);
    }
    if (group.waits(i) || group.waits(k)) settle();
    const double* x = row(i);
    double* candidate = group.add_trial(i);
    std::copy(x, x + d, candidate);
    if (sources == 1)
      candidate[j] = ((upper[j] - lower[j]) * phi) * 0.1 + x[j];
    else
      candidate[j] = (x[j] - row(k)[j]) * phi + x[j];
    bounds.clamp({candidate, d});
  }

  // Evaluates the waiting candidates; a source takes its candidate only when it is strictly
  // better.
  void settle() {
    group.evaluate(problem);
    for (std::size_t r = 0; r < group.size(); ++r) {
      const std::size_t i = group.member(r);
      const double value = group.value(r);
      if (value < fitness[i]) {
        std::copy_n(group.row(r), d, row(i));
        fitness[i] = value;
        trials[i] = 0;
      } else {
        ++trials[i];
      }
    }
    group.clear();
  }

  // The onlooker's source: roulette over the weights when their total is usable,
  // otherwise a uniform pick.
  std::size_t choose(const std::vector<double>& weight, double total) {
    if (!(std::isfinite(total) && total > 0.0)) return rng.index(sources);
    double r = rng.u01() * total;
    double running = 0.0;
    for (std::size_t k = 0; k < sources; ++k) {
      running = running + weight[k];
      if (running >= r) return k;
    }
    return sources - 1;
  }
};

}  // namespace

Status BeeColony::fit(Problem& problem) {
  const auto& lower = bounds.lower();
  const auto& upper = bounds.upper();
  const std::size_t d = lower.size();
  if (d == 0) return OptimizationError::invalid_input("Bounds must have at least one dimension");
  if (problem.dimensions() != d) return dimension_mismatch(problem.dimensions(), d);
  StdRng rng = StdRng::from_seed(random_state);

  const std::size_t S = food_sources(n_bees);
  std::vector<double> span(d);
  for (std::size_t j = 0; j < d; ++j) span[j] = upper[j] - lower[j];

  Colony c{bounds, problem, rng, d, S, {}, {}, std::vector<std::size_t>(S, 0), TrialGroup(d, S)};
  start_population(rng, bounds, span, S, initial, problem, c.positions, c.fitness);

  std::size_t b = best_index(c.fitness);
  std::vector<double> best_position = row_copy(c.positions, b, d);
  double best_value = c.fitness[b];

  std::vector<double> weight(S);
  const std::size_t T = n_iterations;
  bool stop = iteration_done(0, T, best_value);
  for (std::size_t it = 0; it < T && !stop; ++it) {
    interruption_point();
    for (std::size_t i = 0; i < S; ++i) c.exploit_source(i);
    c.settle();

    // Weights from the fitness after the employed phase; NaN falls in the second branch
    // and makes the total NaN. They stay fixed while the onlookers run.
    double total = 0.0;
    for (std::size_t i = 0; i < S; ++i) {
      double f = c.fitness[i];
      weight[i] = f >= 0.0 ? 1.0 / (f + 1.0) : std::fabs(f) + 1.0;
      total = total + weight[i];
    }
    for (std::size_t n = 0; n < S; ++n) c.exploit_source(c.choose(weight, total));
    c.settle();

    // Scout: the source with the most trials (the highest index on ties).
    std::size_t scout = 0;
    for (std::size_t i = 1; i < S; ++i)
      if (c.trials[i] >= c.trials[scout]) scout = i;
    if (c.trials[scout] > limit) {
      draw_position(rng, lower, span, c.row(scout));
      c.fitness[scout] = problem.evaluate({c.row(scout), d});
      c.trials[scout] = 0;
    }

    for (std::size_t i = 0; i < S; ++i) {
      if (c.fitness[i] < best_value) {
        best_value = c.fitness[i];
        std::copy(c.row(i), c.row(i) + d, best_position.begin());
      }
    }
    stop = iteration_done(it + 1, T, best_value);
  }

  best_ = Solution{std::move(best_position), best_value, {}, true};
  return std::nullopt;
}

}  // namespace swarmix
