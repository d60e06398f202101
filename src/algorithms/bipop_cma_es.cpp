#include "algorithms/bipop_cma_es.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <new>

#include "algorithms/swarm_common.hpp"
#include "core/interrupt.hpp"

namespace swarmix {

const char* const kRunEndNames[] = {"tolfun",     "tolx",      "noeffectaxis", "noeffectcoord",
                                    "conditioncov", "equalfunvalues", "stagnation", "tolupsigma",
                                    "maxiter",    "maxfevals", "budget",       "stopped",
                                    nullptr};

void symmetric_eigen(std::size_t n, std::vector<double>& a, std::vector<double>& values, std::vector<double>& vectors) {
  if (a.size() != checked_mul(n, n)) throw InternalError("the matrix is not n x n");
  vectors.assign(n * n, 0.0);
  for (std::size_t i = 0; i < n; ++i) vectors[i * n + i] = 1.0;
  for (int sweep = 0; sweep < 100; ++sweep) {
    double off = 0.0;
    for (std::size_t p = 0; p < n; ++p)
      for (std::size_t q = p + 1; q < n; ++q) off = off + std::fabs(a[p * n + q]);
    if (off == 0.0 || !std::isfinite(off)) break;
    // The first sweeps rotate only the larger elements.
    const double threshold = sweep < 3 ? (off * 0.2) / static_cast<double>(n * n) : 0.0;
    for (std::size_t p = 0; p < n; ++p) {
      for (std::size_t q = p + 1; q < n; ++q) {
        const double apq = a[p * n + q];
        const double app = a[p * n + p];
        const double aqq = a[q * n + q];
        const double small = std::fabs(apq) * 100.0;
        // An element too small to change either diagonal entry is dropped (after the first sweeps).
        if (sweep > 3 && std::fabs(app) + small == std::fabs(app) && std::fabs(aqq) + small == std::fabs(aqq)) {
          a[p * n + q] = 0.0;
          a[q * n + p] = 0.0;
          continue;
        }
        if (std::fabs(apq) <= threshold || apq == 0.0) continue;
        // The rotation that zeroes a[p][q]: t = tan(phi), the smaller root of t^2 + 2 theta t - 1 = 0.
        const double theta = (aqq - app) / (apq + apq);
        double t;
        if (std::fabs(theta) > 1e150) {
          t = 0.5 / theta;
        } else {
          t = 1.0 / (std::fabs(theta) + std::sqrt(theta * theta + 1.0));
          if (theta < 0.0) t = -t;
        }
        const double c = 1.0 / std::sqrt(t * t + 1.0);
        const double s = t * c;
        const double tau = s / (c + 1.0);
        a[p * n + p] = app - t * apq;
        a[q * n + q] = aqq + t * apq;
        a[p * n + q] = 0.0;
        a[q * n + p] = 0.0;
        for (std::size_t r = 0; r < n; ++r) {
          if (r == p || r == q) continue;
          const double g = a[r * n + p];
          const double h = a[r * n + q];
          const double new_p = g - s * (h + g * tau);
          const double new_q = h + s * (g - h * tau);
          a[r * n + p] = new_p;
          a[p * n + r] = new_p;
          a[r * n + q] = new_q;
          a[q * n + r] = new_q;
        }
        for (std::size_t r = 0; r < n; ++r) {
          const double g = vectors[r * n + p];
          const double h = vectors[r * n + q];
          vectors[r * n + p] = g - s * (h + g * tau);
          vectors[r * n + q] = h + s * (g - h * tau);
        }
      }
    }
  }
  values.resize(n);
  for (std::size_t i = 0; i < n; ++i) values[i] = a[i * n + i];
}

namespace {

// The margin of the piecewise-quadratic map into [0, 1] (normalised coordinates): the map is
// the identity on [kMargin, 1 - kMargin], quadratic with slope 0 at -kMargin and 1 + kMargin,
// and mirrored periodically beyond.
constexpr double kMargin = 0.001;

double into_unit(double y) {
  const double low = -kMargin;
  const double length = 1.0 + (kMargin + kMargin);
  double s = y - low;
  if (!(s >= 0.0 && s <= length)) {
    const double period = length + length;
    s = std::fmod(s, period);
    if (s < 0.0) s = s + period;
    if (s > length) s = period - s;
    y = low + s;
  }
  if (y < kMargin) {
    const double e = y + kMargin;
    return (e * e) / (kMargin * 4.0);
  }
  if (y > 1.0 - kMargin) {
    const double e = (1.0 + kMargin) - y;
    return 1.0 - (e * e) / (kMargin * 4.0);
  }
  return y;
}

// The median of `v` (the upper one of an even count); v is reordered.
double median_of(std::vector<double>& v) {
  const auto middle = v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2);
  std::nth_element(v.begin(), middle, v.end(), better_value);
  return *middle;
}

struct Strategy {
  // The constants of one population size.
  std::size_t lambda, mu;
  std::vector<double> weights;  // lambda entries, the worse ones negative
  double weight_sum, mu_eff, c_sigma, d_sigma, c_c, c_1, c_mu, chi_n, eigen_interval;

  Strategy(std::size_t lambda_, std::size_t n) : lambda(lambda_), mu(lambda_ / 2), weights(lambda_) {
    const double dn = static_cast<double>(n);
    const double top = std::log((static_cast<double>(lambda) + 1.0) / 2.0);
    double pos = 0.0, pos_sq = 0.0, neg = 0.0, neg_sq = 0.0;
    for (std::size_t i = 0; i < lambda; ++i) {
      weights[i] = top - std::log(static_cast<double>(i) + 1.0);
      if (i < mu) {
        pos = pos + weights[i];
        pos_sq = pos_sq + weights[i] * weights[i];
      } else {
        neg = neg + weights[i];
        neg_sq = neg_sq + weights[i] * weights[i];
      }
    }
    mu_eff = (pos * pos) / pos_sq;
    const double mu_eff_neg = neg_sq > 0.0 ? (neg * neg) / neg_sq : 0.0;
    c_sigma = (mu_eff + 2.0) / ((dn + mu_eff) + 5.0);
    d_sigma = (nan_max(std::sqrt((mu_eff - 1.0) / (dn + 1.0)) - 1.0, 0.0) * 2.0 + 1.0) + c_sigma;
    c_c = (mu_eff / dn + 4.0) / ((dn + 4.0) + (mu_eff + mu_eff) / dn);
    c_1 = 2.0 / ((dn + 1.3) * (dn + 1.3) + mu_eff);
    c_mu = nan_min(1.0 - c_1, (2.0 * (((mu_eff + 0.25) + 1.0 / mu_eff) - 2.0)) /
                                  ((dn + 2.0) * (dn + 2.0) + mu_eff));
    const double alpha_mu = c_1 / c_mu + 1.0;
    const double alpha_mu_eff = (mu_eff_neg + mu_eff_neg) / (mu_eff + 2.0) + 1.0;
    const double alpha_posdef = ((1.0 - c_1) - c_mu) / (dn * c_mu);
    const double neg_scale = nan_min(nan_min(alpha_mu, alpha_mu_eff), alpha_posdef) / -neg;
    weight_sum = 0.0;
    for (std::size_t i = 0; i < lambda; ++i) {
      weights[i] = i < mu ? weights[i] / pos : weights[i] * neg_scale;
      weight_sum = weight_sum + weights[i];
    }
    chi_n = std::sqrt(dn) * ((1.0 - 1.0 / (dn * 4.0)) + 1.0 / ((dn * dn) * 21.0));
    // Generations between two eigendecompositions: more than 1 / (10 d (c_1 + c_mu)).
    eigen_interval = 1.0 / ((dn * 10.0) * (c_1 + c_mu));
  }
};

}  // namespace

Status BipopCmaEs::fit(Problem& problem) {
  record = {};
  runs.clear();
  auto init = validate_and_init(bounds, problem, random_state);
  if (auto* error = std::get_if<OptimizationError>(&init)) return *error;
  auto& [rng, n, span] = std::get<InitResult>(init);
  if (!(sigma0 > 0.0) || !std::isfinite(sigma0))
    return OptimizationError::invalid_input("sigma0 must be a positive finite number");
  const std::size_t default_lambda = 4 + static_cast<std::size_t>(std::floor(std::log(static_cast<double>(n)) * 3.0));
  const std::size_t lambda0 = population_size.value_or(default_lambda);
  if (lambda0 < 2) return OptimizationError::invalid_input("population_size must be at least 2");
  const std::size_t budget = n_evaluations.value_or(checked_mul(std::size_t{10000}, n));
  const auto& lower = bounds.lower();
  const auto& upper = bounds.upper();
  const double dn = static_cast<double>(n);

  // Generations are counted across runs; none of them has fewer points than the first run, so
  // the budget (less the start) over the first population bounds their number.
  const std::size_t planned = budget <= 1 ? 0 : (budget - 1) / lambda0 + ((budget - 1) % lambda0 != 0);

  // The start: the box's midpoint or the given point, evaluated alone.
  std::vector<double> best = bounds.midpoint();
  overwrite_rows(initial, best, n);
  double best_value = 0.0;
  {
    double value = 0.0;
    problem.evaluate_group(best, {&value, 1});
    best_value = value;
  }
  std::size_t used = 1;
  std::size_t completed = 0;
  std::vector<double> last_generation = best;
  std::vector<double> mean(n);
  for (std::size_t j = 0; j < n; ++j) mean[j] = span[j] > 0.0 ? (best[j] - lower[j]) / span[j] : 0.5;
  bool stop = iteration_done(0, planned, best_value);

  std::size_t large_lambda = lambda0, large_used = 0, small_used = 0, last_large_evaluations = 0;
  bool large = true;
  double run_sigma = sigma0;
  std::size_t lambda = lambda0;

  std::vector<double> cov, basis, axes, work, values_eig, pc, ps, zs, ys, zmean, ymean, step;
  std::vector<double> best_trace, median_trace, ranked, rank_weights;
  std::vector<std::size_t> order;
  PointGroup group(n);

  while (!stop && used < budget) {
    const Strategy s(lambda, n);
    const std::size_t cap = large ? SIZE_MAX : last_large_evaluations / 2;
    cov.assign(n * n, 0.0);
    basis.assign(n * n, 0.0);
    for (std::size_t i = 0; i < n; ++i) cov[i * n + i] = basis[i * n + i] = 1.0;
    axes.assign(n, 1.0);
    pc.assign(n, 0.0);
    ps.assign(n, 0.0);
    zs.assign(checked_mul(lambda, n), 0.0);
    ys.assign(lambda * n, 0.0);
    zmean.assign(n, 0.0);
    ymean.assign(n, 0.0);
    step.assign(n, 0.0);
    best_trace.clear();
    median_trace.clear();
    double sigma = run_sigma;
    double run_best = INFINITY;
    std::size_t run_evaluations = large && runs.empty() ? 1 : 0;
    if (run_evaluations == 1) run_best = best_value;
    double decay_power = 1.0;  // (1 - c_sigma)^(2 g)
    std::size_t last_eigen = 0;
    const double max_generations = 100.0 + (150.0 * ((dn + 3.0) * (dn + 3.0))) / std::sqrt(static_cast<double>(lambda));
    const std::size_t flat_window = 10 + static_cast<std::size_t>(std::ceil((30.0 * dn) / static_cast<double>(lambda)));
    RunEnd end = RunEnd::Budget;
    for (std::size_t g = 0;; ++g) {
      if (used >= budget) {
        end = RunEnd::Budget;
        break;
      }
      if (run_evaluations >= cap) {
        end = RunEnd::MaxFevals;
        break;
      }
      interruption_point();
      group.clear();
      for (std::size_t k = 0; k < lambda; ++k) {
        double* z = &zs[k * n];
        double* y = &ys[k * n];
        for (std::size_t j = 0; j < n; ++j) z[j] = rng.n01();
        for (std::size_t j = 0; j < n; ++j) step[j] = axes[j] * z[j];
        for (std::size_t i = 0; i < n; ++i) {
          const double* b = &basis[i * n];
          double sum = 0.0;
          for (std::size_t j = 0; j < n; ++j) sum = sum + b[j] * step[j];
          y[i] = sum;
        }
        double* x = group.add_row();
        for (std::size_t j = 0; j < n; ++j) {
          const double u = into_unit(sigma * y[j] + mean[j]);
          x[j] = clamp_coordinate(u * span[j] + lower[j], lower[j], upper[j]);
        }
      }
      group.evaluate(problem);
      used = used + lambda;
      run_evaluations = run_evaluations + lambda;
      for (std::size_t k = 0; k < lambda; ++k) {
        const double v = group.value(k);
        if (v < best_value) {
          best.assign(group.row(k), group.row(k) + n);
          best_value = v;
        }
        if (v < run_best) run_best = v;
      }
      // Values by rank (NaN last).
      ranked.resize(lambda);
      for (std::size_t k = 0; k < lambda; ++k) ranked[k] = group.value(k);
      rank_best_first(order, ranked);

      // Mean and evolution paths.
      std::fill(zmean.begin(), zmean.end(), 0.0);
      std::fill(ymean.begin(), ymean.end(), 0.0);
      for (std::size_t i = 0; i < s.mu; ++i) {
        const double w = s.weights[i];
        const double* z = &zs[order[i] * n];
        const double* y = &ys[order[i] * n];
        for (std::size_t j = 0; j < n; ++j) {
          zmean[j] = w * z[j] + zmean[j];
          ymean[j] = w * y[j] + ymean[j];
        }
      }
      for (std::size_t j = 0; j < n; ++j) mean[j] = (sigma * ymean[j]) + mean[j];
      const double ps_gain = std::sqrt(((2.0 - s.c_sigma) * s.c_sigma) * s.mu_eff);
      double ps_sq = 0.0;
      for (std::size_t i = 0; i < n; ++i) {
        const double* b = &basis[i * n];
        double sum = 0.0;
        for (std::size_t j = 0; j < n; ++j) sum = sum + b[j] * zmean[j];
        ps[i] = (1.0 - s.c_sigma) * ps[i] + ps_gain * sum;
        ps_sq = ps_sq + ps[i] * ps[i];
      }
      const double ps_norm = std::sqrt(ps_sq);
      decay_power = decay_power * ((1.0 - s.c_sigma) * (1.0 - s.c_sigma));
      const bool h_sigma = ps_norm / std::sqrt(1.0 - decay_power) < (2.0 / (dn + 1.0) + 1.4) * s.chi_n;
      const double pc_gain = h_sigma ? std::sqrt(((2.0 - s.c_c) * s.c_c) * s.mu_eff) : 0.0;
      for (std::size_t j = 0; j < n; ++j) pc[j] = (1.0 - s.c_c) * pc[j] + pc_gain * ymean[j];

      // Covariance: rank one and rank mu (the negative weights scaled by d / |z|^2), upper triangle.
      const double delta_h = h_sigma ? 0.0 : (2.0 - s.c_c) * s.c_c;
      const double keep = ((s.c_1 * delta_h + 1.0) - s.c_1) - s.c_mu * s.weight_sum;
      rank_weights.resize(lambda);
      for (std::size_t i = 0; i < lambda; ++i) {
        double w = s.weights[i];
        if (w < 0.0) {
          const double* z = &zs[order[i] * n];
          double z_sq = 0.0;
          for (std::size_t j = 0; j < n; ++j) z_sq = z_sq + z[j] * z[j];
          w = z_sq > 0.0 ? w * (dn / z_sq) : 0.0;
        }
        rank_weights[i] = s.c_mu * w;
      }
      for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = i; j < n; ++j) {
          double rank_mu = 0.0;
          for (std::size_t k = 0; k < lambda; ++k) {
            const double* y = &ys[order[k] * n];
            rank_mu = (rank_weights[k] * y[i]) * y[j] + rank_mu;
          }
          cov[i * n + j] = (keep * cov[i * n + j] + (s.c_1 * pc[i]) * pc[j]) + rank_mu;
        }
      }
      sigma = sigma * std::exp((s.c_sigma / s.d_sigma) * (ps_norm / s.chi_n - 1.0));

      best_trace.push_back(group.value(order[0]));
      median_trace.push_back(group.value(order[lambda / 2]));
      record.history.push_back(best_value);
      ++completed;
      if (iteration_done(completed, planned, best_value)) {
        stop = true;
        end = RunEnd::Stopped;
        break;
      }

      // The eigendecomposition, every so many generations.
      bool bad_condition = false;
      if (static_cast<double>(g + 1 - last_eigen) > s.eigen_interval) {
        last_eigen = g + 1;
        work.assign(n * n, 0.0);
        bool finite = true;
        for (std::size_t i = 0; i < n; ++i) {
          for (std::size_t j = i; j < n; ++j) {
            work[i * n + j] = work[j * n + i] = cov[i * n + j];
            finite = finite && std::isfinite(cov[i * n + j]);
          }
        }
        if (finite) {
          symmetric_eigen(n, work, values_eig, basis);
          double low = values_eig[0], high = values_eig[0];
          for (double v : values_eig) {
            low = nan_min(low, v);
            high = nan_max(high, v);
          }
          bad_condition = !(low > 0.0) || high > low * 1e14;
          if (!bad_condition)
            for (std::size_t j = 0; j < n; ++j) axes[j] = std::sqrt(values_eig[j]);
        } else {
          bad_condition = true;
        }
      }

      // The termination conditions of a run.
      const std::size_t generations = g + 1;
      auto range_of = [](const double* first, const double* last) {
        double low = *first, high = *first;
        for (const double* p = first; p != last; ++p) {
          low = nan_min(low, *p);
          high = nan_max(high, *p);
        }
        return high - low;
      };
      const double tol_x = sigma0 * 1e-12;
      double max_axis = 0.0;
      for (double a : axes) max_axis = nan_max(max_axis, a);
      const double last_range = group.value(order[lambda - 1]) - group.value(order[0]);
      const double window_range =
          generations >= flat_window ? range_of(best_trace.data() + (generations - flat_window), best_trace.data() + generations)
                                     : INFINITY;
      if (bad_condition) {
        end = RunEnd::ConditionCov;
        break;
      }
      if (window_range < 1e-12 && last_range < 1e-12) {
        end = RunEnd::TolFun;
        break;
      }
      if (window_range == 0.0) {
        end = RunEnd::EqualFunValues;
        break;
      }
      bool small_steps = true;
      for (std::size_t j = 0; j < n && small_steps; ++j)
        small_steps = sigma * std::fabs(pc[j]) < tol_x && sigma * std::sqrt(cov[j * n + j]) < tol_x;
      if (small_steps) {
        end = RunEnd::TolX;
        break;
      }
      {
        const std::size_t axis = g % n;
        const double length = (sigma * 0.1) * axes[axis];
        bool unchanged = true;
        for (std::size_t j = 0; j < n && unchanged; ++j)
          unchanged = mean[j] + length * basis[j * n + axis] == mean[j];
        if (unchanged) {
          end = RunEnd::NoEffectAxis;
          break;
        }
      }
      bool coordinate_unchanged = false;
      for (std::size_t j = 0; j < n && !coordinate_unchanged; ++j)
        coordinate_unchanged = mean[j] + (sigma * 0.2) * std::sqrt(cov[j * n + j]) == mean[j];
      if (coordinate_unchanged) {
        end = RunEnd::NoEffectCoord;
        break;
      }
      if (sigma / run_sigma > max_axis * 1e20) {
        end = RunEnd::TolUpSigma;
        break;
      }
      if (static_cast<double>(generations) >= max_generations) {
        end = RunEnd::MaxIter;
        break;
      }
      // Stagnation: over the last 20% of the generations (at least 120 + 30 d / lambda, at most
      // 20000), the median of the latest 30% of the best and of the median values is no better
      // than that of the earliest 30%.
      const std::size_t window = std::min<std::size_t>(
          std::max<std::size_t>(generations / 5, 120 + static_cast<std::size_t>(std::ceil((30.0 * dn) / static_cast<double>(lambda)))),
          20000);
      if (generations >= window) {
        const std::size_t part = (window * 3) / 10;
        bool stagnant = true;
        for (const std::vector<double>* trace : {&best_trace, &median_trace}) {
          const double* start = trace->data() + (generations - window);
          std::vector<double> early(start, start + part);
          std::vector<double> late(trace->data() + (generations - part), trace->data() + generations);
          stagnant = stagnant && !(median_of(late) < median_of(early));
        }
        if (stagnant) {
          end = RunEnd::Stagnation;
          break;
        }
      }
    }
    runs.push_back({lambda, run_sigma, run_evaluations, run_best, end});
    if (runs.size() == 1) {
      // The first run belongs to neither regime.
    } else if (large) {
      large_used = large_used + run_evaluations;
      last_large_evaluations = run_evaluations;
    } else {
      small_used = small_used + run_evaluations;
    }
    if (group.size() > 0) last_generation.assign(group.row(0), group.row(0) + checked_mul(group.size(), n));
    if (stop || used >= budget || runs.size() > max_restarts) break;

    // The next run: the regime that has used fewer evaluations; a uniform mean.
    large = !(small_used < large_used);
    if (large) {
      large_lambda = checked_mul(large_lambda, std::size_t{2});
      lambda = large_lambda;
      run_sigma = sigma0;
    } else {
      // A population between the default and half the last large one, log-uniform in u^2.
      const double u = rng.u01();
      const double ratio = static_cast<double>(large_lambda) / (static_cast<double>(lambda0) * 2.0);
      const double drawn = std::floor(static_cast<double>(lambda0) * std::pow(ratio, u * u));
      lambda = drawn < static_cast<double>(large_lambda) ? static_cast<std::size_t>(drawn) : large_lambda;
      lambda = std::max(lambda, lambda0);
      run_sigma = sigma0 * std::pow(10.0, rng.u01() * -2.0);
    }
    for (std::size_t j = 0; j < n; ++j) mean[j] = rng.u01();
  }

  record.population = split_rows(last_generation, n);
  best_ = Solution{std::move(best), best_value, {}, true};
  return std::nullopt;
}

}  // namespace swarmix
