#include "algorithms/bacterial_foraging.hpp"

#include "algorithms/swarm_common.hpp"
#include "core/interrupt.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numeric>

namespace swarmix {

Status BacterialForagingOptimizer::fit(Problem& problem) {
  record = {};
  auto init = validate_and_init(bounds, problem, random_state);
  if (auto* error = std::get_if<OptimizationError>(&init)) return *error;
  // Named references, not a structured binding: the lambdas below capture them.
  InitResult& start = std::get<InitResult>(init);
  StdRng& rng = start.rng;
  const std::size_t d = start.n;
  const std::vector<double>& span = start.span;
  if (n_bacteria < 2) return OptimizationError::invalid_input("n_bacteria must be at least 2 for bacterial foraging");

  const auto& lower = bounds.lower();
  const auto& upper = bounds.upper();
  const std::size_t n = n_bacteria;
  const std::size_t T = n_iterations, R = n_reproduction_steps, C = n_chemotactic_steps;
  // The iterations are the reproduction steps.
  const std::size_t planned = R != 0 && T > SIZE_MAX / R ? SIZE_MAX : T * R;
  std::vector<double> positions(checked_mul(n, d)), fitness(n);  // rows of d, stored contiguously
  for (std::size_t i = 0; i < n; ++i) draw_position(rng, lower, span, &positions[i * d]);
  overwrite_rows(initial, positions, d);

  // A chemotactic sweep moves every bacterium from its own position, so a sweep is one group.
  // The initial positions join the first sweep, and the dispersals (fresh draws at fixed
  // slots) join the last sweep of their iteration.
  PointGroup group(d);
  for (std::size_t i = 0; i < n; ++i) std::copy_n(&positions[i * d], d, group.add_row());
  std::vector<double> best;
  double best_value = 0.0;
  bool started = false, stop = false;
  // Evaluates the group; the first one starts with the initial positions.
  auto evaluate = [&] {
    group.evaluate(problem);
    if (started) return std::size_t{0};
    started = true;
    for (std::size_t i = 0; i < n; ++i) fitness[i] = group.value(i);
    const std::size_t b = best_index(fitness);
    best = row_copy(positions, b, d);
    best_value = fitness[b];
    stop = iteration_done(0, planned, best_value);
    return n;
  };
  std::vector<std::size_t> dispersed;
  auto draw_dispersals = [&] {
    dispersed.clear();
    for (std::size_t i = 0; i < n; ++i) {
      if (!(rng.u01() < elimination_probability)) continue;
      dispersed.push_back(i);
      draw_position(rng, lower, span, group.add_row());
    }
  };

  std::vector<std::size_t> order(n);
  std::vector<double> next_positions(positions.size()), next_fitness(n);
  const std::size_t half = n / 2;
  std::size_t completed = 0;
  for (std::size_t it = 0; it < T && !stop; ++it) {
    interruption_point();
    std::size_t dispersal_row = 0;
    bool dispersals_drawn = false;
    for (std::size_t r = 0; r < R && !stop; ++r) {
      for (std::size_t c = 0; c < C; ++c) {
        for (std::size_t i = 0; i < n; ++i) {
          const double* xi = &positions[i * d];
          double* candidate = group.add_row();
          for (std::size_t k = 0; k < d; ++k) {
            const double u = rng.u01();
            candidate[k] = clamp_coordinate(((u + u) + (-1.0)) * step_scale * span[k] + xi[k], lower[k], upper[k]);
          }
        }
        if (r + 1 == R && c + 1 == C) {
          dispersal_row = group.size();
          draw_dispersals();
          dispersals_drawn = true;
        }
        const std::size_t first = evaluate();
        if (stop) break;
        for (std::size_t i = 0; i < n; ++i) {
          double* xi = &positions[i * d];
          const double value = group.value(first + i);
          if (value < fitness[i]) {
            std::copy_n(group.row(first + i), d, xi);
            fitness[i] = value;
          }
          if (fitness[i] < best_value) {
            best_value = fitness[i];
            std::copy(xi, xi + d, best.begin());
          }
        }
        if (!dispersals_drawn) group.clear();
      }
      if (stop) break;
      if (!started) {  // no sweeps: the reproduction needs the initial values
        evaluate();
        group.clear();
        if (stop) break;
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
      stop = iteration_done(++completed, planned, best_value);
    }
    if (stop) break;

    if (!dispersals_drawn) {  // no sweep to join: the dispersals are a group of their own
      dispersal_row = group.size();  // after the initial positions when they still wait
      draw_dispersals();
      evaluate();
      if (stop) break;
    }
    for (std::size_t k = 0; k < dispersed.size(); ++k) {
      const std::size_t i = dispersed[k];
      double* xi = &positions[i * d];
      std::copy_n(group.row(dispersal_row + k), d, xi);
      fitness[i] = group.value(dispersal_row + k);
      if (fitness[i] < best_value) {
        best_value = fitness[i];
        std::copy(xi, xi + d, best.begin());
      }
    }
    group.clear();
  }
  if (!started) evaluate();  // no iterations: the initial positions alone

  record.population = split_rows(positions, d);
  best_ = Solution{std::move(best), best_value, {}, true};
  return std::nullopt;
}

}  // namespace swarmix
