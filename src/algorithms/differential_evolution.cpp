#include "algorithms/differential_evolution.hpp"

#include <cmath>

#include "algorithms/swarm_common.hpp"
#include "core/interrupt.hpp"

namespace swarmix {

namespace {

// A trial rounded at the integer coordinates `whole`, against its member x: false when there
// is nothing new to evaluate (see the class comment).
bool round_trial(double* trial, const double* x, std::size_t n, const std::vector<std::size_t>& whole,
                 const Bounds& bounds, StdRng& rng) {
  const auto& lower = bounds.lower();
  const auto& upper = bounds.upper();
  std::size_t farthest = n;
  double distance = 0.0;
  for (std::size_t j : whole) {
    const double gap = std::fabs(trial[j] - x[j]);
    if (gap > distance) {
      farthest = j;
      distance = gap;
    }
  }
  const double toward = farthest < n ? trial[farthest] : 0.0;
  round_integers(trial, whole, lower, upper);
  for (std::size_t j = 0; j < n; ++j)
    if (trial[j] != x[j]) return true;
  if (farthest < n) {
    // The unrounded coordinate lies in the box on that side of the whole x, so a unit step
    // toward it stays in the box.
    trial[farthest] = x[farthest] + (toward > x[farthest] ? 1.0 : -1.0);
    return true;
  }
  std::size_t free = 0;
  for (std::size_t j : whole) free += lower[j] < upper[j];
  if (free == 0) return false;
  std::size_t pick = rng.index(free);
  for (std::size_t j : whole) {
    if (!(lower[j] < upper[j]) || pick-- != 0) continue;
    const bool up = rng.u01() < 0.5 ? x[j] < upper[j] : !(x[j] > lower[j]);
    trial[j] = x[j] + (up ? 1.0 : -1.0);
    break;
  }
  return true;
}

}  // namespace

template <class Scored>
Status DifferentialEvolution::search(Scored& problem) {
  using Score = typename Scored::Score;
  record = {};
  auto init = validate_and_init(bounds, problem.dimensions(), random_state);
  if (auto* error = std::get_if<OptimizationError>(&init)) return *error;
  // Named references, not a structured binding: the lambdas below capture them.
  InitResult& start = std::get<InitResult>(init);
  StdRng& rng = start.rng;
  const std::size_t n = start.n;
  const std::vector<double>& span = start.span;
  if (n_individuals <= 3) {
    return OptimizationError::invalid_input("n_individuals must be at least 4 for differential evolution");
  }
  if (!integer.empty() && integer.size() != n) throw InternalError("an integer mask of another length");
  const std::vector<std::size_t> whole = integer_indices(integer);
  const auto& lower = bounds.lower();
  const auto& upper = bounds.upper();
  const std::size_t N = n_individuals;

  // Members are rows of n, stored contiguously.
  std::vector<double> pop;
  std::vector<Score> values(N);
  draw_start(rng, bounds, span, N, initial, pop);
  if (!whole.empty())
    for (std::size_t i = 0; i < N; ++i) round_integers(&pop[i * n], whole, lower, upper);
  problem.evaluate_group(pop, values);

  // The first best of the start: a NaN first value stays the best, nothing being better.
  std::size_t first_best = 0;
  for (std::size_t i = 1; i < N; ++i)
    if (better(values[i], values[first_best])) first_best = i;
  std::vector<double> best = row_copy(pop, first_best, n);
  Score best_value = values[first_best];
  const std::span<const double> first_constraints = problem.constraint_values(first_best);
  std::vector<double> best_constraints(first_constraints.begin(), first_constraints.end());

  // A member's trial reads its donors' current positions, which change only when an earlier
  // trial of the generation replaces them. The donors are plain draws, so trials join one
  // group until a trial's donor is a member whose trial waits in the group: the group is
  // evaluated (and its replacements made) first.
  std::vector<double> mutant(n);
  std::vector<Score> trial_values;
  TrialGroup group(n, N);
  auto settle = [&] {
    trial_values.resize(group.size());
    problem.evaluate_group(group.points(), trial_values);
    for (std::size_t r = 0; r < group.size(); ++r) {
      const std::size_t i = group.member(r);
      const Score value = trial_values[r];
      if (not_worse(value, values[i])) {
        std::copy_n(group.row(r), n, &pop[i * n]);
        values[i] = value;
        if (better(value, best_value)) {
          best.assign(group.row(r), group.row(r) + n);
          best_value = value;
          best_constraints.assign(problem.constraint_values(r).begin(), problem.constraint_values(r).end());
        }
      }
    }
    group.clear();
  };
  const std::size_t T = n_iterations;
  bool stop = iteration_done(0, T, value_of(best_value), is_feasible(best_value));
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
      if (!whole.empty() && !round_trial(trial, x, n, whole, bounds, rng)) group.drop_last();
    }
    settle();
    record.history.push_back(value_of(best_value));
    stop = iteration_done(g + 1, T, value_of(best_value), is_feasible(best_value));
  }

  record.population = split_rows(pop, n);
  best_ = Solution{std::move(best), value_of(best_value), {}, is_feasible(best_value), std::move(best_constraints)};
  return std::nullopt;
}

Status DifferentialEvolution::fit(Problem& problem) {
  ValueProblem values(problem);
  return search(values);
}

Status DifferentialEvolution::fit(VectorProblem& problem) {
  StandingProblem standings(problem, constraints);
  return search(standings);
}

}  // namespace swarmix
