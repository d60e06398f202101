#include "algorithms/augmented_lagrangian.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/numeric.hpp"

namespace swarmix {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
// omega grows when its penalty term at the mean is below kPenaltyShare / d times the change of
// the mean's penalised value, or when the constraint value changed by less than 1 / kValueShare
// of its size.
constexpr double kPenaltyShare = 3.0;
constexpr double kValueShare = 5.0;

bool failed(const Standing& s) { return !(s.violation < kInf) || !(s.value < kInf); }

// The interquartile range of v (v is reordered): 0 for fewer than two values.
double spread(std::vector<double>& v) {
  if (v.size() < 2) return 0.0;
  std::sort(v.begin(), v.end());
  return v[(v.size() * 3) / 4] - v[v.size() / 4];
}

}  // namespace

AugmentedLagrangian::AugmentedLagrangian(const ConstraintCounts& counts, std::size_t dimensions)
    : inequalities_(counts.inequalities),
      dimensions_(static_cast<double>(dimensions)),
      grow_(std::pow(2.0, 0.5 / dimensions_)),
      shrink_(std::pow(2.0, -1.0 / dimensions_)),
      gamma_(counts.inequalities + counts.equalities * 2),
      omega_(gamma_.size()),
      mean_c_(gamma_.size()) {}

void AugmentedLagrangian::inequalities_of(std::span<const double> constraint_values, double* c) const {
  for (std::size_t i = 0; i < constraint_values.size(); ++i) {
    const double v = constraint_values[i];
    if (i < inequalities_) {
      *c++ = v;
    } else {
      *c++ = v - kEqualityTolerance;
      *c++ = -v - kEqualityTolerance;
    }
  }
}

void AugmentedLagrangian::restart() {
  started_ = false;
  have_mean_ = false;
}

double AugmentedLagrangian::penalised(const Row& row) const {
  if (failed(row.standing)) return kInf;
  double total = row.standing.value;
  for (std::size_t i = 0; i < gamma_.size(); ++i) {
    const double c = row.c[i];
    const double gamma = gamma_[i], omega = omega_[i];
    if (gamma + omega * c >= 0.0)
      total += gamma * c + (omega * c) * c / 2.0;
    else
      total -= (gamma * gamma) / (omega + omega);
  }
  return total;
}

void AugmentedLagrangian::start() {
  std::vector<double>& v = work_;
  v.clear();
  for (const Row& r : rows_)
    if (!failed(r.standing)) v.push_back(r.standing.value);
  if (v.empty()) return;  // every row failed: the next generation tries again
  const double df = spread(v);
  for (std::size_t i = 0; i < gamma_.size(); ++i) {
    v.clear();
    for (const Row& r : rows_)
      if (!failed(r.standing)) v.push_back(r.c[i]);
    const double dg = spread(v);
    gamma_[i] = 0.0;
    omega_[i] = (df > 0.0 ? df : 1.0) / (dg > 0.0 ? dg * dg : 1.0);
  }
  started_ = true;
}

void AugmentedLagrangian::adapt(const Row& mean) {
  const Row previous{{mean_value_, 0.0}, mean_c_};
  const double change = std::fabs(penalised(mean) - penalised(previous));
  for (std::size_t i = 0; i < gamma_.size(); ++i) {
    const double c = mean.c[i], before = mean_c_[i];
    gamma_[i] = nan_max(gamma_[i] + omega_[i] * c, 0.0);
    const bool weak = (omega_[i] * c) * c < (kPenaltyShare * change) / dimensions_ ||
                      kValueShare * std::fabs(c - before) < std::fabs(before);
    omega_[i] = omega_[i] * (weak ? grow_ : shrink_);
  }
}

void AugmentedLagrangian::rank_rows(std::vector<double>& ranked) {
  const Row& mean = rows_[0];
  if (!started_)
    start();
  else if (have_mean_ && !failed(mean.standing))
    adapt(mean);
  if (started_ && !failed(mean.standing)) {
    have_mean_ = true;
    mean_value_ = mean.standing.value;
    std::copy(mean.c.begin(), mean.c.end(), mean_c_.begin());
  }
  ranked.resize(rows_.size() - 1);
  for (std::size_t k = 1; k < rows_.size(); ++k) ranked[k - 1] = started_ ? penalised(rows_[k]) : kInf;
}

}  // namespace swarmix
