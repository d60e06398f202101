#include "algorithms/integer_steps.hpp"

namespace swarmix {

namespace {

// The standard normal quantile of 1 - p for 0 < p <= 0.25 (Abramowitz and Stegun 26.2.23, error
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
  // with probability p = 1 / (n lambda), at most 1/4 (a population of 2 or 3 in one dimension).
  const double p = nan_min(1.0 / (static_cast<double>(n) * static_cast<double>(lambda)), 0.25);
  const double half_cell = 0.5 / upper_quantile(p);
  for (std::size_t k = 0; k < index_.size(); ++k) least_[k] = half_cell / width_[k];
}

void IntegerSteps::set_steps(double sigma, const double* cov, std::size_t n, const std::vector<double>& mean) {
  sigma_ = sigma;
  for (std::size_t k = 0; k < index_.size(); ++k) {
    const std::size_t j = index_[k];
    steps_[k] = nan_max(sigma, least_[k] / std::sqrt(cov[j * n + j]));
    before_[k] = mean[j];
  }
}

void IntegerSteps::centre(double* y, const std::vector<std::size_t>& order, std::size_t mu, std::size_t n,
                          const std::vector<double>& mean) const {
  for (std::size_t k = 0; k < index_.size(); ++k) {
    const std::size_t j = index_[k];
    const double own = cell(k, mean[j]);
    for (std::size_t i = 0; i < mu; ++i) {
      double& v = y[order[i] * n + j];
      const double reached = cell(k, steps_[k] * v + mean[j]);
      if (reached != own) v = ((reached + 0.5) / width_[k] - mean[j]) / steps_[k];
    }
  }
}

void IntegerSteps::move_mean(std::vector<double>& mean, const std::vector<double>& ymean) const {
  for (std::size_t k = 0; k < index_.size(); ++k) mean[index_[k]] = steps_[k] * ymean[index_[k]] + before_[k];
}

}  // namespace swarmix
