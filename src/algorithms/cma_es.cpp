#include "algorithms/cma_es.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <new>
#include <numeric>

#include "algorithms/swarm_common.hpp"
#include "core/interrupt.hpp"

namespace swarmix {

RecombinationWeights recombination_weights(std::size_t lambda) {
  const std::size_t mu = std::max<std::size_t>(lambda / 2, 1);
  std::vector<double> weights(mu);
  const double log_top = std::log(static_cast<double>(mu) + 0.5);
  double weight_sum = 0.0;
  for (std::size_t i = 0; i < mu; ++i) {
    weights[i] = nan_max(log_top - std::log(static_cast<double>(i) + 1.0), 0.0);
    weight_sum = weight_sum + weights[i];
  }
  const double divisor = nan_max(weight_sum, 1e-12);
  double square_sum = 0.0;
  for (std::size_t i = 0; i < mu; ++i) {
    weights[i] = weights[i] / divisor;
    square_sum = square_sum + weights[i] * weights[i];
  }
  return {std::move(weights), 1.0 / square_sum};
}

Status CmaEsOptimizer::fit(Problem& problem) {
  record = {};
  auto init = validate_and_init(bounds, problem, random_state);
  if (auto* error = std::get_if<OptimizationError>(&init)) return *error;
  auto& [rng, n, span] = std::get<InitResult>(init);
  const std::size_t lambda = n_individuals;
  if (lambda <= 3) return OptimizationError::invalid_input("n_individuals must be at least 4 for CMA-ES");
  const auto& lower = bounds.lower();
  const auto& upper = bounds.upper();

  // The starting mean: the box's midpoint, or the given point.
  std::vector<double> mean = bounds.midpoint();
  overwrite_rows(initial, mean, n);
  std::vector<double> variance(n, 1.0);
  std::vector<double> path(n, 0.0);

  auto [weights, mu_eff] = recombination_weights(lambda);
  const std::size_t mu = weights.size();

  std::vector<double> best = mean;
  double best_value = 0.0;

  const double dn = static_cast<double>(n);
  const double chi_n = ((1.0 / (dn * 21.0 * dn) + (-1.0 / (dn * 4.0))) + 1.0) * std::sqrt(dn);
  const double c_sigma = (mu_eff + 2.0) / ((mu_eff + dn) + 5.0);
  const double h = nan_max(std::sqrt((mu_eff - 1.0) / (dn + 1.0)) - 1.0, 0.0);
  const double damping = c_sigma / (((h + h) + c_sigma) + 1.0);
  const double path_gain = std::sqrt(((2.0 - c_sigma) * c_sigma) * mu_eff);
  const double path_decay = 1.0 - c_sigma;

  const std::size_t T = n_iterations;
  if (T == 0) {
    best_value = problem.evaluate(mean);
    iteration_done(0, T, best_value);
    best_ = Solution{std::move(best), best_value, {}, true};
    return std::nullopt;
  }

  // A generation's samples are one group. The first generation's samples come from the
  // starting mean and variances alone, so the mean (the start) is evaluated with them.
  const std::size_t cells = checked_mul(lambda, n);
  if (cells > SIZE_MAX - n) throw std::bad_alloc();
  std::vector<double> group(cells + n);
  std::vector<double> group_values(lambda + 1);
  std::copy(mean.begin(), mean.end(), group.begin());
  std::span<double> samples(group.begin() + static_cast<std::ptrdiff_t>(n), group.end());
  std::span<double> values(group_values.begin() + 1, group_values.end());
  std::vector<std::size_t> order(lambda);
  std::vector<double> new_mean(n), spread(n);
  bool stop = false;
  for (std::size_t g = 0; g < T && !stop; ++g) {
    interruption_point();
    for (std::size_t k = 0; k < lambda; ++k) {
      double* x = &samples[k * n];
      for (std::size_t d = 0; d < n; ++d) {
        const double z = rng.n01();
        const double v = (sigma * std::sqrt(variance[d])) * z + mean[d];
        x[d] = clamp_coordinate(v, lower[d], upper[d]);
      }
    }
    if (g == 0) {
      problem.evaluate_group(group, group_values);
      best_value = group_values[0];
      if (iteration_done(0, T, best_value)) {  // stopped at the start: as with no generation
        best_ = Solution{std::move(best), best_value, {}, true};
        return std::nullopt;
      }
    } else {
      problem.evaluate_group(samples, values);
    }
    for (std::size_t k = 0; k < lambda; ++k) {
      if (values[k] < best_value) {
        best.assign(&samples[k * n], &samples[k * n] + n);
        best_value = values[k];
      }
    }

    rank_best_first(order, values);

    std::fill(new_mean.begin(), new_mean.end(), 0.0);
    for (std::size_t i = 0; i < mu; ++i) {
      const double* x = &samples[order[i] * n];
      for (std::size_t d = 0; d < n; ++d) new_mean[d] = weights[i] * x[d] + new_mean[d];
    }

    double norm_sq = 0.0;
    for (std::size_t d = 0; d < n; ++d) {
      const double shift = (new_mean[d] - mean[d]) / (nan_max(std::sqrt(variance[d]), 1e-12) * sigma);
      path[d] = path[d] * path_decay + shift * path_gain;
      norm_sq = norm_sq + path[d] * path[d];
    }
    sigma = nan_max(std::exp((std::sqrt(norm_sq) / chi_n - 1.0) * damping) * sigma, 1e-6);

    std::fill(spread.begin(), spread.end(), 0.0);
    for (std::size_t i = 0; i < mu; ++i) {
      const double* x = &samples[order[i] * n];
      for (std::size_t d = 0; d < n; ++d) {
        const double delta = x[d] - new_mean[d];
        spread[d] = (weights[i] * delta) * delta + spread[d];
      }
    }
    for (std::size_t d = 0; d < n; ++d) {
      variance[d] = variance[d] * 0.8 + nan_max(spread[d] / (span[d] * span[d] + 1e-12), 1e-12) * 0.2;
    }
    mean.swap(new_mean);
    record.history.push_back(best_value);
    stop = iteration_done(g + 1, T, best_value);
  }

  record.population = split_rows(std::vector<double>(samples.begin(), samples.end()), n);
  best_ = Solution{std::move(best), best_value, {}, true};
  return std::nullopt;
}

}  // namespace swarmix
