#include "algorithms/integer_steps.hpp"

#include <cmath>
#include <cstdlib>

#include "core/numeric.hpp"

namespace swarmix {

namespace {

double knob(const char* name, double fallback) {
  const char* v = std::getenv(name);
  return v ? std::atof(v) : fallback;
}

// The standard normal quantile of 1 - p for 0 < p < 0.5 (Abramowitz and Stegun 26.2.23, error
// below 4.5e-4).
double upper_quantile(double p) {
  const double t = std::sqrt(-2.0 * std::log(p));
  return t - ((0.010328 * t + 0.802853) * t + 2.515517) / (((0.001308 * t + 0.189269) * t + 1.432788) * t + 1.0);
}

}  // namespace

IntegerSteps::IntegerSteps(const std::vector<bool>& mask, const std::vector<double>& lower,
                           const std::vector<double>& upper) {
  const bool widen = knob("SWX_WIDEN", 1.0) != 0.0;
  for (std::size_t j = 0; j < mask.size(); ++j) {
    if (!mask[j] || !(lower[j] < upper[j])) continue;
    index_.push_back(j);
    lower_.push_back(lower[j]);
    upper_.push_back(upper[j]);
    if (widen) {
      low_.push_back(lower[j] - 0.5);
      width_.push_back((upper[j] - lower[j]) + 1.0);
    } else {
      low_.push_back(lower[j]);
      width_.push_back(upper[j] - lower[j]);
    }
  }
  steps_.assign(index_.size(), 0.0);
  sd_.assign(index_.size(), 0.0);
  before_.assign(index_.size(), 0.0);
  floor_.assign(index_.size(), 0.0);
}

void IntegerSteps::start_mean(const double* x, std::vector<double>& mean) const {
  for (std::size_t k = 0; k < index_.size(); ++k) mean[index_[k]] = (x[index_[k]] - low_[k]) / width_[k];
}

void IntegerSteps::start_run(std::size_t lambda, std::size_t n) {
  const int mode = static_cast<int>(knob("SWX_LB", 1.0));
  const double c = knob("SWX_LBC", 1.0);
  double s = 0.0;  // in whole numbers
  if (mode == 1) {
    const double p = c / (static_cast<double>(n) * static_cast<double>(lambda));
    z_ = p < 0.5 ? upper_quantile(p) : 0.0;
    s = p < 0.5 ? 0.5 / z_ : 1e300;
  } else if (mode == 2) {
    s = c;
  }
  for (std::size_t k = 0; k < index_.size(); ++k) floor_[k] = s / width_[k];
  const double pm = knob("SWX_MC", 0.5) / (static_cast<double>(n) * static_cast<double>(lambda));
  zm_ = pm < 0.5 ? upper_quantile(pm) : 0.0;
  scale_.assign(index_.size(), 1.0);
}

void IntegerSteps::set_steps(double sigma, const double* cov, std::size_t n, const std::vector<double>& mean) {
  sigma_ = sigma;
  for (std::size_t k = 0; k < index_.size(); ++k) {
    const std::size_t j = index_[k];
    steps_[k] = nan_max(sigma * scale_[k], floor_[k] / std::sqrt(cov[j * n + j]));
    sd_[k] = steps_[k] * std::sqrt(cov[j * n + j]);
    before_[k] = mean[j];
  }
}

double IntegerSteps::to_box(std::size_t k, double u) const {
  return clamp_coordinate(std::round(u * width_[k] + low_[k]), lower_[k], upper_[k]);
}

void IntegerSteps::centre(std::vector<double>& mean, const std::vector<double>& ymean, const std::vector<std::size_t>& order,
                          const std::vector<double>& weights, std::size_t mu, const double* rows,
                          std::size_t n, double sigma, const double* cov, const double* y) {
  static const int mode = static_cast<int>(knob("SWX_IC", 0.0));
  static const int ms = static_cast<int>(knob("SWX_MS", 0.0));
  static const double zc = knob("SWX_ZC", 1.0);
  for (std::size_t k = 0; k < index_.size(); ++k) {
    const std::size_t j = index_[k];
    if (ms == 1) mean[j] = (steps_[k] - sigma_) * ymean[j] + mean[j];
    const double w = width_[k];
    if (mode == 1) {
      double m = 0.0;
      for (std::size_t i = 0; i < mu; ++i) m = weights[i] * ((rows[order[i] * n + j] - low_[k]) / w) + m;
      mean[j] = m;
    } else if (mode == 2) {
      const double first = rows[order[0] * n + j];
      bool same = true;
      for (std::size_t i = 1; i < mu && same; ++i) same = rows[order[i] * n + j] == first;
      if (same) mean[j] = (first - low_[k]) / w;
    } else if (mode == 3) {
      // the cell of the mean (in whole numbers, unclamped)
      const double a = std::floor(before_[k] * w), b = std::floor(mean[j] * w);
      if (a == b) mean[j] = (b + 0.5) / w;
    } else if (mode == 6 || mode == 7) {
      // the weighted mean of the selected raw samples rounded to their cell centres
      double m = 0.0;
      for (std::size_t i = 0; i < mu; ++i) {
        const double r = steps_[k] * y[order[i] * n + j] + before_[k];
        const double c = mode == 6 ? (std::floor(r * w) + 0.5) / w : r;
        m = weights[i] * c + m;
      }
      mean[j] = m;
    } else if (mode == 5) {
      // margin: each threshold of the mean's cell is crossed with probability >= p (z: zm_)
      double m = mean[j];
      if (!(m >= 0.0 && m <= 1.0)) {
        m = std::fmod(m, 2.0);
        if (m < 0.0) m = m + 2.0;
        if (m > 1.0) m = 2.0 - m;
      }
      double cell = std::floor(m * w);
      if (cell > w - 1.0) cell = w - 1.0;
      const double lo = cell / w, hi = (cell + 1.0) / w;
      const double sd = sigma * std::sqrt(cov[j * n + j]);
      scale_[k] = 1.0;
      if (cell == 0.0) {
        if ((hi - m) / sd > zm_) m = hi - zm_ * sd;
      } else if (cell == w - 1.0) {
        if ((m - lo) / sd > zm_) m = lo + zm_ * sd;
      } else {
        double zl = (m - lo) / sd, zu = (hi - m) / sd;
        if (zl > zm_ || zu > zm_) {
          zl = nan_min(zl, zm_);
          zu = nan_min(zu, zm_);
          const double s2 = (hi - lo) / (zl + zu);
          m = lo + zl * s2;
          scale_[k] = s2 / sd;
        }
      }
      mean[j] = m;
    } else if (mode == 4) {
      // clip the mean so that the nearest threshold is within zc * z_alpha standard deviations
      const double cell = std::floor(mean[j] * w);
      const double centre = (cell + 0.5) / w;
      const double reach = zc * z_ * sd_[k];
      const double half = 0.5 / w;
      if (half > reach) {
        const double lo = centre - (half - reach), hi = centre + (half - reach);
        // keep the mean within reach of a threshold: away from the centre
        if (mean[j] > lo && mean[j] < hi) mean[j] = mean[j] < centre ? lo : hi;
      }
    }
  }
}

}  // namespace swarmix
