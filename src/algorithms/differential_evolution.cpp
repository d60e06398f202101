#include "algorithms/differential_evolution.hpp"

#include "algorithms/swarm_common.hpp"
#include "core/interrupt.hpp"

namespace swarmix {

Status DifferentialEvolution::fit(Problem& problem) {
  record = {};
  auto init = validate_and_init(bounds, problem, random_state);
  if (auto* error = std::get_if<OptimizationError>(&init)) return *error;
  // Named references, not a structured binding: the lambdas below capture them.
  InitResult& start = std::get<InitResult>(init);
  StdRng& rng = start.rng;
  const std::size_t n = start.n;
  const std::vector<double>& span = start.span;
  if (n_individuals <= 3) {
    return OptimizationError::invalid_input("n_individuals must be at least 4 for differential evolution");
  }
  const auto& lower = bounds.lower();
  const auto& upper = bounds.upper();
  const std::size_t N = n_individuals;

  // Members are rows of n, stored contiguously.
  std::vector<double> pop, values;
  start_population(rng, bounds, span, N, initial, problem, pop, values);

  // A NaN first value stays the minimum: nothing compares strictly below it.
  const std::size_t first_best = best_index(values);
  std::vector<double> best = row_copy(pop, first_best, n);
  double best_value = values[first_best];

  // A member's trial reads its donors' current positions, which change only when an earlier
  // trial of the generation replaces them. The donors are plain draws, so trials join one
  // group until a trial's donor is a member whose trial waits in the group: the group is
  // evaluated (and its replacements made) first.
  std::vector<double> mutant(n);
  TrialGroup group(n, N);
  auto settle = [&] {
    group.evaluate(problem);
    for (std::size_t r = 0; r < group.size(); ++r) {
      const std::size_t i = group.member(r);
      const double value = group.value(r);
      if (value <= values[i]) {
        std::copy_n(group.row(r), n, &pop[i * n]);
        values[i] = value;
        if (value < best_value) {
          best.assign(group.row(r), group.row(r) + n);
          best_value = value;
        }
      }
    }
    group.clear();
  };
  const std::size_t T = n_iterations;
  bool stop = iteration_done(0, T, best_value);
  for (std::size_t g = 0; g < T && !stop; ++g) {
    interruption_point();
    for (std::size_t i = 0; i < N; ++i) {
      // Three distinct donors other than i, drawn from the other indices in ascending order;
      // a repeated donor is drawn again.
      std::size_t donors[3];
      std::size_t chosen = 0;
      while (chosen < 3) {
        const std::size_t k = rng.index(N - 1);
        const std::size_t c = k < i ? k : k + 1;
        bool repeated = false;
        for (std::size_t j = 0; j < chosen; ++j) repeated = repeated || donors[j] == c;
        if (!repeated) donors[chosen++] = c;
      }
      if (group.waits(donors[0]) || group.waits(donors[1]) || group.waits(donors[2])) settle();
      const double* x1 = &pop[donors[0] * n];
      const double* x2 = &pop[donors[1] * n];
      const double* x3 = &pop[donors[2] * n];
      for (std::size_t d = 0; d < n; ++d) mutant[d] = x1[d] + f * (x2[d] - x3[d]);

      const double* x = &pop[i * n];
      double* trial = group.add_trial(i);
      const std::size_t forced = rng.index(n);
      for (std::size_t d = 0; d < n; ++d) {
        const double u = rng.u01();
        const double v = (u < cr || d == forced) ? mutant[d] : x[d];
        trial[d] = clamp_coordinate(v, lower[d], upper[d]);
      }
    }
    settle();
    record.history.push_back(best_value);
    stop = iteration_done(g + 1, T, best_value);
  }

  record.population = split_rows(pop, n);
  best_ = Solution{std::move(best), best_value, {}, true};
  return std::nullopt;
}

}  // namespace swarmix
