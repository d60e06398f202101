#pragma once
// The integer coordinates of BipopCmaEs, which searches normalised coordinates in [0, 1].
//
// At a free integer coordinate (whole bounds lower < upper) the normalised coordinate covers
// the widened interval [lower - 1/2, upper + 1/2], so that every whole number owns a cell of the
// same width; a sample is placed there (through the same mirroring map into [0, 1]) and
// rounded to its cell's whole number. Rounding hides every step smaller than a cell, so the
// search would stop moving there long before its step size says so. After LB+IC-CMA-ES
// (Marty, Semet, Auger, Héron and Hansen, PPSN 2024): the step of an integer coordinate is
// bounded below, such that a sample leaves the mean's cell towards a given side with
// probability at least 1 / (n lambda), and the mean moves there by the steps the
// samples were drawn with; a selected sample that left the mean's cell counts as the centre of
// the cell it reached (integer centring), so that a better whole number draws the mean across
// the cell's edge. A fixed integer coordinate (lower = upper) needs nothing: the box map keeps
// it at its bound.
#include <cmath>
#include <cstddef>
#include <vector>

#include "core/numeric.hpp"

namespace swarmix {

class IntegerSteps {
 public:
  // The free integer coordinates of `mask` (empty: none); lower and upper are whole there.
  IntegerSteps(const std::vector<bool>& mask, const std::vector<double>& lower, const std::vector<double>& upper);

  bool empty() const { return index_.empty(); }

  // Writes the normalised integer coordinates of the box point x into `unit`.
  void normalise(const double* x, std::vector<double>& unit) const;

  // A run of `lambda` points in n dimensions begins: the least step of its integer coordinates.
  void start_run(std::size_t lambda, std::size_t n);

  // This generation's step at each integer coordinate, from the step size sigma, the
  // covariance's diagonal (cov, n x n) and the mean before its update.
  void set_steps(double sigma, const double* cov, std::size_t n, const std::vector<double>& mean);

  // Overwrites the integer coordinates of the box point x of the sample y around `mean`: the
  // whole number of the cell of unit(mean + step y) (`unit`, the box map's mirroring).
  template <class Unit>
  void place(const std::vector<double>& mean, const double* y, double* x, Unit&& unit) const {
    for (std::size_t k = 0; k < index_.size(); ++k) {
      const std::size_t j = index_[k];
      const double u = unit(steps_[k] * y[j] + mean[j]);
      x[j] = clamp_coordinate(std::round(u * width_[k] + low_[k]), lower_[k], upper_[k]);
    }
  }

  // Overwrites the integer coordinates of the box point x of the mean itself.
  template <class Unit>
  void place_mean(const std::vector<double>& mean, double* x, Unit&& unit) const {
    for (std::size_t k = 0; k < index_.size(); ++k) {
      const std::size_t j = index_[k];
      x[j] = clamp_coordinate(std::round(unit(mean[j]) * width_[k] + low_[k]), lower_[k], upper_[k]);
    }
  }

  // Whether the sample y around `mean` lies in the mean's cell at every integer coordinate.
  bool keeps_cells(const double* y, const std::vector<double>& mean) const {
    for (std::size_t k = 0; k < index_.size(); ++k) {
      const std::size_t j = index_[k];
      if (cell(k, steps_[k] * y[j] + mean[j]) != cell(k, mean[j])) return false;
    }
    return true;
  }

  // Before the update (integer centring): a selected sample (y[order[i]], i < mu) that lies in
  // another cell than the mean at an integer coordinate is moved to the centre of its cell
  // there (y rewritten in units of the step).
  void centre(double* y, const std::vector<std::size_t>& order, std::size_t mu, std::size_t n,
              const std::vector<double>& mean) const;

  // After the mean's update by sigma <y> (ymean: the selected samples' weighted mean), moves
  // its integer coordinates by their own steps instead.
  void move_mean(std::vector<double>& mean, const std::vector<double>& ymean) const;

  // Marks in `held` the integer coordinates whose step this generation is the lower bound's.
  void mark_held(std::vector<char>& held) const {
    for (std::size_t k = 0; k < index_.size(); ++k) held[index_[k]] = steps_[k] > sigma_;
  }

 private:
  // The cell of the normalised value u at the k-th integer coordinate (cells continue beyond
  // the box).
  double cell(std::size_t k, double u) const { return std::floor(u * width_[k]); }

  std::vector<std::size_t> index_;                   // the free integer coordinates
  std::vector<double> low_, width_, lower_, upper_;  // a box value is low + u width, rounded
  std::vector<double> least_;                        // the least step, normalised
  std::vector<double> steps_, before_;               // this generation's steps, and the mean
  double sigma_ = 0.0;                               // and its step size
};

}  // namespace swarmix
