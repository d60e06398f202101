#include "algorithms/integer_steps.hpp"

namespace swarmix {

namespace {

// A sample leaves the mean's cell towards a given side with probability at least
// kLeaveRate / (n lambda).
constexpr double kLeaveRate = 0.2;

// The standard normal quantile of 1 - p for 0 < p < 0.5 (Abramowitz and Stegun 26.2.23, error
// below 4.5e-4).
double upper_quantile(double p) {
  const double t = std::sqrt(-2.0 * std::log(p));
  return t - ((0.010328 * t + 0.802853) * t + 2.515517) / (((0.001308 * t + 0.189269) * t + 1.432788) * t + 1.0);
}

}  // namespace

IntegerSteps::IntegerSteps(const std::vector<bool>& mask, const std::vector<double>& lower,
                           const std::vector<double>& upper) {
  for (std::size_t j = 0; j < mask.size(); ++j) {
    if (!mask[j] || !(lower[j] < upper[j])) continue;
    index_.push_back(j);
    lower_.push_back(lower[j]);
    upper_.push_back(upper[j]);
    low_.push_back(lower[j] - 0.5);
    width_.push_back((upper[j] - lower[j]) + 1.0);
  }
  least_.assign(index_.size(), 0.0);
  steps_.assign(index_.size(), 0.0);
  before_.assign(index_.size(), 0.0);
}

void IntegerSteps::normalise(const double* x, std::vector<double>& unit) const {
  for (std::size_t k = 0; k < index_.size(); ++k) unit[index_[k]] = (x[index_[k]] - low_[k]) / width_[k];
}

void IntegerSteps::start_run(std::size_t lambda, std::size_t n) {
  // A step of half a cell over the quantile: a sample from the cell's centre passes its edge
  // with probability p (every run has n lambda >= 2, so p < 0.5).
  const double p = kLeaveRate / (static_cast<double>(n) * static_cast<double>(lambda));
  const double half_cell = 0.5 / upper_quantile(p);
  for (std::size_t k = 0; k < index_.size(); ++k) least_[k] = half_cell / width_[k];
}

void IntegerSteps::set_steps(double sigma, const double* cov, std::size_t n, const std::vector<double>& mean) {
  for (std::size_t k = 0; k < index_.size(); ++k) {
    const std::size_t j = index_[k];
    steps_[k] = nan_max(sigma, least_[k] / std::sqrt(cov[j * n + j]));
    before_[k] = mean[j];
  }
}

void IntegerSteps::move_mean(std::vector<double>& mean, const std::vector<double>& ymean) const {
  for (std::size_t k = 0; k < index_.size(); ++k) mean[index_[k]] = steps_[k] * ymean[index_[k]] + before_[k];
}

}  // namespace swarmix
