#pragma once
// The integer coordinates of a CMA-ES that searches normalised coordinates: where their whole
// numbers lie, a lower bound on their steps, and the centring of the mean on the evaluated
// whole numbers.
#include <cstddef>
#include <vector>

namespace swarmix {

class IntegerSteps {
 public:
  // The free integer coordinates of the mask (those whose bounds differ); lower and upper are
  // whole there.
  IntegerSteps(const std::vector<bool>& mask, const std::vector<double>& lower, const std::vector<double>& upper);

  bool empty() const { return index_.empty(); }

  // The mean's normalised coordinates at the integer coordinates of a box point.
  void start_mean(const double* x, std::vector<double>& mean) const;

  // Sets up a run of `lambda` points in n dimensions (the lower bound of the steps).
  void start_run(std::size_t lambda, std::size_t n);

  // This generation's step at each integer coordinate: sigma, or more where sigma times the
  // standard deviation `sqrt(c_jj)` (c: the covariance's diagonal) is below the lower bound.
  void set_steps(double sigma, const double* cov, std::size_t n, const std::vector<double>& mean);

  // Overwrites the integer coordinates of the box point x of the sample mean + step y:
  // unit(mean_j + step_j y_j) in the whole numbers' normalised coordinates, rounded.
  template <class Unit>
  void place(const std::vector<double>& mean, const double* y, double* x, Unit&& unit) const {
    for (std::size_t k = 0; k < index_.size(); ++k) {
      const std::size_t j = index_[k];
      x[j] = to_box(k, unit(steps_[k] * y[j] + mean[j]));
    }
  }

  // The mean at the integer coordinates from the evaluated points: rows[order[i]] for the
  // first `weights.size()` ranks (the positive weights, summing to 1).
  void centre(std::vector<double>& mean, const std::vector<double>& ymean, const std::vector<std::size_t>& order,
              const std::vector<double>& weights, std::size_t mu, const double* rows, std::size_t n, double sigma,
              const double* cov, const double* y);

 private:
  double to_box(std::size_t k, double u) const;

  std::vector<std::size_t> index_;  // the free integer coordinates
  std::vector<double> low_, width_, lower_, upper_;  // x = low + u width, then rounded into [lower, upper]
  std::vector<double> floor_;  // per integer coordinate, the least step in normalised units
  std::vector<double> steps_;  // this generation's
  std::vector<double> sd_, before_;
  double sigma_ = 0.0, z_ = 0.0, zm_ = 0.0;
  std::vector<double> scale_;
};

}  // namespace swarmix
