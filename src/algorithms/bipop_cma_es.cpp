#include "algorithms/bipop_cma_es.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <type_traits>

#include "algorithms/augmented_lagrangian.hpp"
#include "algorithms/integer_steps.hpp"
#include "algorithms/swarm_common.hpp"
#include "algorithms/symmetric_eigen.hpp"
#include "core/interrupt.hpp"

namespace swarmix {

const char* const kRunEndNames[] = {"tolfun",     "tolx",      "noeffectaxis", "noeffectcoord",
                                    "conditioncov", "equalfunvalues", "stagnation", "tolupsigma",
                                    "maxiter",    "maxfevals", "budget",       "stopped",
                                    "flatfitness", nullptr};

namespace {

// The margin of the piecewise-quadratic map into [0, 1] (normalised coordinates): the map is
// the identity on [kMargin, 1 - kMargin], quadratic with slope 0 at -kMargin and 1 + kMargin,
// and mirrored periodically beyond.
constexpr double kMargin = 0.001;

// E||N(0, I)|| in d dimensions, approximated.
double expected_norm(double d) { return std::sqrt(d) * ((1.0 - 1.0 / (d * 4.0)) + 1.0 / ((d * d) * 21.0)); }

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

// The search's normalised coordinates and the box: the one place where a sampled point
// becomes a point to evaluate.
struct BoxMap {
  const std::vector<double>& lower;
  const std::vector<double>& upper;
  const std::vector<double>& span;
  const IntegerSteps* integers;  // null: none

  // x = the box point of the normalised point mean + sigma y (at the integer coordinates, of
  // mean + their steps y, whole).
  void place(const std::vector<double>& mean, double sigma, const double* y, double* x) const {
    for (std::size_t j = 0; j < span.size(); ++j) {
      const double u = into_unit(sigma * y[j] + mean[j]);
      x[j] = clamp_coordinate(u * span[j] + lower[j], lower[j], upper[j]);
    }
    if (integers) integers->place(mean, y, x, into_unit);
  }
};

// The median of `v` (the upper one of an even count); v is reordered.
double median_of(std::vector<double>& v) {
  const auto middle = v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2);
  std::nth_element(v.begin(), middle, v.end(), better_value);
  return *middle;
}

// The largest minus the smallest of [first, last).
double range_of(const double* first, const double* last) {
  double low = *first, high = *first;
  for (const double* p = first; p != last; ++p) {
    low = nan_min(low, *p);
    high = nan_max(high, *p);
  }
  return high - low;
}

// The constants of one population size in n dimensions.
struct Strategy {
  std::size_t lambda, mu;
  std::vector<double> weights;  // lambda entries, the worse ones negative
  double weight_sum, mu_eff, c_sigma, d_sigma, c_c, c_1, c_mu, chi_n, eigen_interval;
  double max_generations;   // a run ends after this many (maxiter)
  std::size_t flat_window;  // generations whose best values tolfun and equalfunvalues compare
  std::size_t flat_rank;    // a generation is flat when this rank's value is the best's

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
    chi_n = expected_norm(dn);
    // Generations between two eigendecompositions: more than 1 / (10 d (c_1 + c_mu)).
    eigen_interval = 1.0 / ((dn * 10.0) * (c_1 + c_mu));
    max_generations = 100.0 + (150.0 * ((dn + 3.0) * (dn + 3.0))) / std::sqrt(static_cast<double>(lambda));
    flat_window = 10 + static_cast<std::size_t>(std::ceil((30.0 * dn) / static_cast<double>(lambda)));
    flat_rank = std::max<std::size_t>(lambda / 4, 1);
  }
};

// One CMA-ES run in normalised coordinates: the whole state of the distribution, its sampling
// and its update from a generation's ranked values.
class Run {
 public:
  Run(std::size_t lambda, std::size_t n, double sigma, std::vector<double> mean)
      : s(lambda, n), n_(n), mean_(std::move(mean)), sigma_(sigma), sigma_start_(sigma),
        cov_(checked_mul(n, n), 0.0), basis_(n * n, 0.0), axes_(n, 1.0), pc_(n, 0.0), ps_(n, 0.0),
        z_(checked_mul(lambda, n), 0.0), y_(lambda * n, 0.0), zmean_(n), ymean_(n), acc_(n) {
    for (std::size_t i = 0; i < n; ++i) cov_[i * n + i] = basis_[i * n + i] = 1.0;
  }

  const Strategy s;
  // The ranked values are of a function that moves from one generation to the next (a
  // constrained run's augmented Lagrangian): no end by stagnation, which compares them.
  bool moving_values = false;

  // This generation's lambda samples: z standard normal (drawn row after row), y = B D z.
  void sample(StdRng& rng) {
    const std::size_t n = n_;
    for (std::size_t k = 0; k < s.lambda; ++k) {
      double* z = &z_[k * n];
      for (std::size_t j = 0; j < n; ++j) z[j] = rng.n01();
    }
    // y_k = sum over j of (D_j z_kj) b_j, the eigenvectors b_j in order: every coordinate's sum
    // runs in the order of j, and the inner loop along a row.
    std::fill(y_.begin(), y_.end(), 0.0);
    for (std::size_t j = 0; j < n; ++j) {
      const double* b = &basis_[j * n];
      for (std::size_t k = 0; k < s.lambda; ++k) {
        const double c = axes_[j] * z_[k * n + j];
        double* y = &y_[k * n];
        for (std::size_t i = 0; i < n; ++i) y[i] = b[i] * c + y[i];
      }
    }
  }

  // The integer coordinates' steps of this generation; before the update, the samples that
  // kept the mean's cells and the centring of the selected ones there; after it, their move of
  // the mean.
  void set_steps(IntegerSteps& integers) {
    integers.set_steps(sigma_, cov_.data(), n_, mean_);
    held_.assign(n_, 0);
    integers.mark_held(held_);
  }
  void centre(const IntegerSteps& integers, const std::vector<std::size_t>& order) {
    kept_.resize(s.lambda);
    for (std::size_t k = 0; k < s.lambda; ++k) kept_[k] = integers.keeps_cells(&y_[k * n_], mean_);
    integers.centre(y_.data(), order, s.mu, n_, mean_);
  }
  void move_mean(const IntegerSteps& integers) { integers.move_mean(mean_, ymean_); }

  // Sample k as a point of the box.
  void place(const BoxMap& box, std::size_t k, double* x) const { box.place(mean_, sigma_, &y_[k * n_], x); }
  // The mean as a point of the box.
  void place_mean(const BoxMap& box, double* x) const {
    box.place(mean_, 0.0, y_.data(), x);
    if (box.integers) box.integers->place_mean(mean_, x, into_unit);
  }

  // The update from the samples' ranks (order: best first).
  void update(const std::vector<std::size_t>& order) {
    const std::size_t n = n_;
    const double dn = static_cast<double>(n);
    ++generations_;
    // Mean and evolution paths.
    std::fill(zmean_.begin(), zmean_.end(), 0.0);
    std::fill(ymean_.begin(), ymean_.end(), 0.0);
    for (std::size_t i = 0; i < s.mu; ++i) {
      const double w = s.weights[i];
      const double* z = &z_[order[i] * n];
      const double* y = &y_[order[i] * n];
      for (std::size_t j = 0; j < n; ++j) {
        zmean_[j] = w * z[j] + zmean_[j];
        ymean_[j] = w * y[j] + ymean_[j];
      }
    }
    for (std::size_t j = 0; j < n; ++j) mean_[j] = (sigma_ * ymean_[j]) + mean_[j];
    // p_sigma follows B <z>, the sum over j of <z>_j b_j in the order of j.
    std::fill(acc_.begin(), acc_.end(), 0.0);
    for (std::size_t j = 0; j < n; ++j) {
      const double* b = &basis_[j * n];
      const double c = zmean_[j];
      for (std::size_t i = 0; i < n; ++i) acc_[i] = b[i] * c + acc_[i];
    }
    const double ps_gain = std::sqrt(((2.0 - s.c_sigma) * s.c_sigma) * s.mu_eff);
    double ps_sq = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
      ps_[i] = (1.0 - s.c_sigma) * ps_[i] + ps_gain * acc_[i];
      ps_sq = ps_sq + ps_[i] * ps_[i];
    }
    const double ps_norm = std::sqrt(ps_sq);
    decay_power_ = decay_power_ * ((1.0 - s.c_sigma) * (1.0 - s.c_sigma));
    const bool h_sigma = ps_norm / std::sqrt(1.0 - decay_power_) < (2.0 / (dn + 1.0) + 1.4) * s.chi_n;
    const double pc_gain = h_sigma ? std::sqrt(((2.0 - s.c_c) * s.c_c) * s.mu_eff) : 0.0;
    for (std::size_t j = 0; j < n; ++j) pc_[j] = (1.0 - s.c_c) * pc_[j] + pc_gain * ymean_[j];

    // Covariance: rank one and rank mu (the negative weights scaled by d / |z|^2), upper
    // triangle; each entry's rank-mu sum runs over the ranks in order.
    const double delta_h = h_sigma ? 0.0 : (2.0 - s.c_c) * s.c_c;
    const double keep = ((s.c_1 * delta_h + 1.0) - s.c_1) - s.c_mu * s.weight_sum;
    rank_weights_.resize(s.lambda);
    for (std::size_t k = 0; k < s.lambda; ++k) {
      double w = s.weights[k];
      if (w < 0.0) {
        const double* z = &z_[order[k] * n];
        double z_sq = 0.0;
        for (std::size_t j = 0; j < n; ++j) z_sq = z_sq + z[j] * z[j];
        w = z_sq > 0.0 ? w * (dn / z_sq) : 0.0;
      }
      rank_weights_[k] = s.c_mu * w;
    }
    for (std::size_t i = 0; i < n; ++i) {
      std::fill(acc_.begin() + static_cast<std::ptrdiff_t>(i), acc_.end(), 0.0);
      for (std::size_t k = 0; k < s.lambda; ++k) {
        const double* y = &y_[order[k] * n];
        const double a = rank_weights_[k] * y[i];
        for (std::size_t j = i; j < n; ++j) acc_[j] = a * y[j] + acc_[j];
      }
      double* c = &cov_[i * n];
      const double a = s.c_1 * pc_[i];
      for (std::size_t j = i; j < n; ++j) c[j] = (keep * c[j] + a * pc_[j]) + acc_[j];
    }
    // Integer coordinates whose step is the lower bound's do not follow sigma: the step size
    // follows the path's length over the other coordinates (all of them when none is left).
    double path = ps_norm, expected = s.chi_n;
    std::size_t m = 0;
    double free_sq = 0.0;
    for (std::size_t i = 0; i < held_.size(); ++i)
      if (!held_[i]) {
        free_sq = free_sq + ps_[i] * ps_[i];
        ++m;
      }
    if (m > 0 && m < held_.size()) {
      path = std::sqrt(free_sq);
      expected = expected_norm(static_cast<double>(m));
    }
    sigma_ = sigma_ * std::exp((s.c_sigma / s.d_sigma) * (path / expected - 1.0));
  }

  // Renews B and D when the covariance has changed enough since the last time; false when the
  // covariance cannot be decomposed or its condition number passed 1e14.
  bool renew_axes() {
    if (!(static_cast<double>(generations_ - last_eigen_) > s.eigen_interval)) return true;
    last_eigen_ = generations_;
    work_ = cov_;
    if (!symmetric_eigen(n_, work_, values_, basis_)) return false;
    const double low = values_.front(), high = values_.back();
    if (!(low > 0.0) || high > low * 1e14) return false;
    for (std::size_t j = 0; j < n_; ++j) axes_[j] = std::sqrt(values_[j]);
    return true;
  }

  // Notes the generation's best and median values (values in the order of the samples, order
  // best first); the run's ending, if it has come.
  std::optional<RunEnd> ended(const std::vector<double>& values, const std::vector<std::size_t>& order,
                              bool decomposed, double tol_x) {
    const std::size_t n = n_;
    const double best = values[order[0]];
    // With integers, a sample that left the mean's cells measures a step between whole numbers,
    // not the run's convergence: tolfun's spread is over the samples that kept them.
    double worst = values[order[s.lambda - 1]];
    if (!kept_.empty()) {
      worst = best;
      for (std::size_t k = 0; k < s.lambda; ++k)
        if (kept_[k]) worst = nan_max(worst, values[k]);
    }
    best_trace_.push_back(best);
    median_trace_.push_back(values[order[s.lambda / 2]]);
    const std::size_t g = generations_;
    const double window_range = g >= s.flat_window ? range_of(best_trace_.data() + (g - s.flat_window),
                                                              best_trace_.data() + g)
                                                   : INFINITY;
    if (!decomposed) return RunEnd::ConditionCov;
    if (best == values[order[s.flat_rank]]) return RunEnd::FlatFitness;
    if (window_range < 1e-12 && worst - best < 1e-12) return RunEnd::TolFun;
    if (window_range == 0.0) return RunEnd::EqualFunValues;
    bool small_steps = true;
    for (std::size_t j = 0; j < n && small_steps; ++j)
      small_steps = sigma_ * std::fabs(pc_[j]) < tol_x && sigma_ * std::sqrt(cov_[j * n + j]) < tol_x;
    if (small_steps) return RunEnd::TolX;
    {
      const std::size_t axis = (g - 1) % n;
      const double length = (sigma_ * 0.1) * axes_[axis];
      const double* b = &basis_[axis * n];
      bool unchanged = true;
      for (std::size_t j = 0; j < n && unchanged; ++j) unchanged = mean_[j] + length * b[j] == mean_[j];
      if (unchanged) return RunEnd::NoEffectAxis;
    }
    for (std::size_t j = 0; j < n; ++j)
      if (mean_[j] + (sigma_ * 0.2) * std::sqrt(cov_[j * n + j]) == mean_[j]) return RunEnd::NoEffectCoord;
    double max_axis = 0.0;
    for (double a : axes_) max_axis = nan_max(max_axis, a);
    if (sigma_ / sigma_start_ > max_axis * 1e20) return RunEnd::TolUpSigma;
    if (static_cast<double>(g) >= s.max_generations) return RunEnd::MaxIter;
    // Stagnation: over the last 20% of the generations (at least 120 + 30 d / lambda, at most
    // 20000), the median of the latest 30% of the best and of the median values is no better
    // than that of the earliest 30%.
    const std::size_t window = std::min<std::size_t>(
        std::max<std::size_t>(g / 5, 120 + static_cast<std::size_t>(std::ceil((30.0 * static_cast<double>(n)) /
                                                                                static_cast<double>(s.lambda)))),
        20000);
    if (g >= window && !moving_values) {
      const std::size_t part = (window * 3) / 10;
      bool stagnant = true;
      for (const std::vector<double>* trace : {&best_trace_, &median_trace_}) {
        const double* start = trace->data() + (g - window);
        std::vector<double> early(start, start + part);
        std::vector<double> late(trace->data() + (g - part), trace->data() + g);
        stagnant = stagnant && !(median_of(late) < median_of(early));
      }
      if (stagnant) return RunEnd::Stagnation;
    }
    return std::nullopt;
  }

 private:
  std::size_t n_;
  std::vector<double> mean_;
  double sigma_, sigma_start_;
  std::vector<double> cov_;    // C, its upper triangle (row-major n x n)
  std::vector<double> basis_;  // row j: the unit eigenvector b_j of C, whose eigenvalue is axes_[j]^2
  std::vector<double> axes_;   // D
  std::vector<double> pc_, ps_;
  std::vector<char> held_;  // the coordinates whose step is an integer lower bound's (none: empty)
  std::vector<char> kept_;  // the samples that kept the mean's integer cells (none: empty)
  double decay_power_ = 1.0;  // (1 - c_sigma)^(2 g)
  std::size_t generations_ = 0, last_eigen_ = 0;
  std::vector<double> best_trace_, median_trace_;  // each generation's best and median values
  // Work space: the generation's samples (lambda rows each), weighted means, a row sum.
  std::vector<double> z_, y_, zmean_, ymean_, acc_, rank_weights_, work_, values_;
};

}  // namespace

template <class Scored>
Status BipopCmaEs::search(Scored& problem) {
  using Score = typename Scored::Score;
  // A constrained generation's first point is the mean (see the class comment).
  constexpr std::size_t kMeanRows = std::is_same_v<Score, Standing> ? 1 : 0;
  record = {};
  runs.clear();
  auto init = validate_and_init(bounds, problem.dimensions(), random_state);
  if (auto* error = std::get_if<OptimizationError>(&init)) return *error;
  auto& [rng, n, span] = std::get<InitResult>(init);
  if (!(sigma0 > 0.0) || !std::isfinite(sigma0))
    return OptimizationError::invalid_input("sigma0 must be a positive finite number");
  // With integer coordinates a larger population by default: 6 + floor(3 ln(d d_int)).
  const std::vector<std::size_t> integer_index = integer_indices(integer);
  const std::size_t n_integer = integer_index.size();
  const std::size_t default_lambda =
      n_integer == 0 ? 4 + static_cast<std::size_t>(std::floor(std::log(static_cast<double>(n)) * 3.0))
                     : 6 + static_cast<std::size_t>(std::floor((std::log(static_cast<double>(n)) +
                                                                std::log(static_cast<double>(n_integer))) * 3.0));
  const std::size_t lambda0 = population_size.value_or(default_lambda);
  if (lambda0 < 2) return OptimizationError::invalid_input("population_size must be at least 2");
  const std::size_t budget = n_evaluations.value_or(checked_mul(std::size_t{10000}, n));
  const auto& lower = bounds.lower();
  if (!integer.empty() && integer.size() != n) throw InternalError("an integer mask of another length");
  IntegerSteps integers(integer, lower, bounds.upper());
  const BoxMap box{lower, bounds.upper(), span, integers.empty() ? nullptr : &integers};

  // Generations are counted across runs; none of them has fewer points than the first run's, so
  // the budget (less the start) over those bounds their number.
  const std::size_t first_points = lambda0 + kMeanRows;
  const std::size_t planned =
      budget <= 1 ? 0 : (budget - 1) / first_points + ((budget - 1) % first_points != 0);

  // The start: the box's midpoint or the given point, evaluated alone (rounded at the integer
  // coordinates; the first mean stays the unrounded point).
  std::vector<double> best = bounds.midpoint();
  overwrite_rows(initial, best, n);
  std::vector<double> mean(n);
  for (std::size_t j = 0; j < n; ++j) mean[j] = span[j] > 0.0 ? (best[j] - lower[j]) / span[j] : 0.5;
  integers.normalise(best.data(), mean);
  round_integers(best.data(), integer_index, lower, bounds.upper());
  Score best_value{};
  problem.evaluate_group(best, {&best_value, 1});
  const std::span<const double> start_constraints = problem.constraint_values(0);
  std::vector<double> best_constraints(start_constraints.begin(), start_constraints.end());
  std::size_t used = 1;
  std::size_t completed = 0;
  std::vector<double> last_generation = best;
  bool stop = iteration_done(0, planned, value_of(best_value), is_feasible(best_value));

  std::size_t large_lambda = lambda0, large_used = 0, small_used = 0, last_large_evaluations = 0, large_restarts = 0;
  bool large = true;
  double run_sigma = sigma0;
  std::size_t lambda = lambda0;
  std::vector<double> ranked;
  std::vector<Score> scores;
  std::vector<std::size_t> order;
  PointGroup group(n);
  AugmentedLagrangian lagrangian(constraints, n);

  while (!stop && used < budget) {
    Run run(lambda, n, run_sigma, mean);
    integers.start_run(lambda, n);
    run.moving_values = kMeanRows != 0;
    const std::size_t cap = large ? SIZE_MAX : last_large_evaluations / 2;
    double run_best = INFINITY;
    std::size_t run_evaluations = large && runs.empty() ? 1 : 0;
    if (run_evaluations == 1 && is_feasible(best_value)) run_best = value_of(best_value);
    lagrangian.restart();
    RunEnd end = RunEnd::Budget;
    for (;;) {
      if (used >= budget) {
        end = RunEnd::Budget;
        break;
      }
      if (run_evaluations >= cap) {
        end = RunEnd::MaxFevals;
        break;
      }
      interruption_point();
      run.sample(rng);
      if (box.integers) run.set_steps(integers);
      group.clear();
      if (kMeanRows != 0) run.place_mean(box, group.add_row());
      for (std::size_t k = 0; k < lambda; ++k) run.place(box, k, group.add_row());
      scores.resize(group.size());
      problem.evaluate_group(group.points(), scores);
      used = used + group.size();
      run_evaluations = run_evaluations + group.size();
      for (std::size_t k = 0; k < group.size(); ++k) {
        const Score v = scores[k];
        if (better(v, best_value)) {
          best.assign(group.row(k), group.row(k) + n);
          best_value = v;
          best_constraints.assign(problem.constraint_values(k).begin(), problem.constraint_values(k).end());
        }
        if (is_feasible(v) && value_of(v) < run_best) run_best = value_of(v);
      }
      if constexpr (kMeanRows != 0)
        lagrangian.rank(scores, problem, ranked);
      else
        ranked.assign(scores.begin(), scores.end());
      rank_best_first(order, ranked);  // NaN last
      if (box.integers) run.centre(integers, order);
      run.update(order);
      if (box.integers) run.move_mean(integers);
      record.history.push_back(value_of(best_value));
      ++completed;
      if (iteration_done(completed, planned, value_of(best_value), is_feasible(best_value))) {
        stop = true;
        end = RunEnd::Stopped;
        break;
      }
      const bool decomposed = run.renew_axes();
      if (auto e = run.ended(ranked, order, decomposed, sigma0 * 1e-12)) {
        end = *e;
        break;
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
    if (group.size() > 0) last_generation.assign(group.row(kMeanRows), group.row(0) + checked_mul(group.size(), n));
    if (stop || used >= budget) break;

    // The next run: the regime that has used fewer evaluations (the large one only while it has
    // restarts left); a uniform mean.
    large = !(small_used < large_used);
    if (large && large_restarts == max_restarts) break;
    if (large) {
      ++large_restarts;
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
  best_ = Solution{std::move(best), value_of(best_value), {}, is_feasible(best_value), std::move(best_constraints)};
  return std::nullopt;
}

Status BipopCmaEs::fit(Problem& problem) {
  ValueProblem values(problem);
  return search(values);
}

Status BipopCmaEs::fit(VectorProblem& problem) {
  StandingProblem standings(problem, constraints);
  return search(standings);
}

}  // namespace swarmix
