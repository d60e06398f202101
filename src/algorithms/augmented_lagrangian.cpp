#include "algorithms/augmented_lagrangian.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <cstdio>
#include <cstdlib>

#include "core/numeric.hpp"

namespace swarmix {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
// omega grows when its penalty at the mean is below kPenaltyShare times the change of the
// mean's penalised value over the dimension, or when the constraint value changed by less than
// 1 / kValueShare of its size.
constexpr double kPenaltyShare = 3.0;
constexpr double kValueShare = 5.0;

double tune(const char* name, double fallback) {
  const char* v = std::getenv(name);
  return v ? std::atof(v) : fallback;
}

bool failed(const Standing& s) { return !(s.violation < kInf) || !(s.value < kInf); }

// The interquartile range of v (v is reordered): 0 for fewer than two values.
double spread(std::vector<double>& v) {
  if (v.size() < 2) return 0.0;
  std::sort(v.begin(), v.end());
  return v[(v.size() * 3) / 4] - v[v.size() / 4];
}

}  // namespace

AugmentedLagrangian::AugmentedLagrangian(const ConstraintCounts& counts, std::size_t dimensions)
    : counts_(counts),
      dimensions_(static_cast<double>(dimensions)),
      grow_(std::pow(2.0, tune("ALGROW", 0.25) / std::pow(static_cast<double>(dimensions), tune("ALCHIPOW", 1.0)))),
      shrink_(std::pow(2.0, -tune("ALSHRINK", 1.0) / std::pow(static_cast<double>(dimensions), tune("ALCHIPOW", 1.0)))),
      gamma_(counts.total()),
      omega_(counts.total()),
      mean_constraints_(counts.total()) {}

void AugmentedLagrangian::restart() {
  started_ = false;
  have_mean_ = false;
}

bool AugmentedLagrangian::equality(std::size_t i) const {
  return i >= counts_.inequalities && tune("ALEQ", 0) == 0;
}

double AugmentedLagrangian::transformed(std::size_t i, double c) const {
  if (i >= counts_.inequalities && tune("ALEQ", 0) != 0) return std::fabs(c) - kEqualityTolerance;
  return c;
}

double AugmentedLagrangian::penalised(const Row& row) const {
  if (failed(row.standing)) return kInf;
  double total = row.standing.value;
  for (std::size_t i = 0; i < gamma_.size(); ++i) {
    const double c = row.constraints[i];
    const double gamma = gamma_[i], omega = omega_[i];
    if (equality(i) || gamma + omega * c >= 0.0)
      total += gamma * c + (omega * c) * c / 2.0;
    else
      total -= (gamma * gamma) / (omega + omega);
  }
  return total;
}

void AugmentedLagrangian::start(std::span<const Row> rows) {
  std::vector<double>& v = work_;
  v.clear();
  for (const Row& r : rows)
    if (!failed(r.standing)) v.push_back(r.standing.value);
  if (v.empty()) return;
  const double df = spread(v);
  for (std::size_t i = 0; i < gamma_.size(); ++i) {
    v.clear();
    for (const Row& r : rows)
      if (!failed(r.standing)) v.push_back(r.constraints[i]);
    const double dg = spread(v);
    gamma_[i] = 0.0;
    omega_[i] = tune("ALOMEGA0", 1.0) * (df > 0.0 ? df : 1.0) / (dg > 0.0 ? dg * dg : 1.0);
  }
  started_ = true;
}

void AugmentedLagrangian::adapt(const Row& mean) {
  Row previous{{mean_value_, 0.0}, mean_constraints_};
  const double change = std::fabs(penalised(mean) - penalised(previous));
  for (std::size_t i = 0; i < gamma_.size(); ++i) {
    const double c = mean.constraints[i], before = mean_constraints_[i];
    const double gamma = gamma_[i] + omega_[i] * c / tune("ALDGAMMA", 1.0);
    gamma_[i] = !equality(i) ? nan_max(gamma, 0.0) : gamma;
    const bool weak = (omega_[i] * c) * c < (kPenaltyShare * change) / dimensions_ ||
                      kValueShare * std::fabs(c - before) < std::fabs(before);
    omega_[i] = omega_[i] * (weak ? grow_ : shrink_);
  }
}

void AugmentedLagrangian::rank_rows(std::vector<double>& ranked) {
  const Row& mean = rows_[0];
  if (std::getenv("ALDEBUG")) {
    std::fprintf(stderr, "mean f=%.6g v=%.3g c=", mean.standing.value, mean.standing.violation);
    for (double c : mean.constraints) std::fprintf(stderr, "%.3g ", c);
    std::fprintf(stderr, " gamma=");
    for (double c : gamma_) std::fprintf(stderr, "%.3g ", c);
    std::fprintf(stderr, " omega=");
    for (double c : omega_) std::fprintf(stderr, "%.3g ", c);
    std::fprintf(stderr, "\n");
  }
  if (!started_) {
    start(rows_);
  } else if (!failed(mean.standing) && have_mean_) {
    adapt(mean);
  }
  if (started_ && (tune("ALCAP", 0) > 0 || tune("ALFLOOR", 0) > 0)) {
    std::vector<double>& v = work_;
    v.clear();
    for (const Row& r : rows_)
      if (!failed(r.standing)) v.push_back(r.standing.value);
    const double df = spread(v);
    for (std::size_t i = 0; i < gamma_.size() && df > 0.0; ++i) {
      v.clear();
      for (const Row& r : rows_)
        if (!failed(r.standing)) v.push_back(r.constraints[i]);
      const double dg = spread(v);
      if (!(dg > 0.0)) continue;
      const double natural = df / (dg * dg);
      if (tune("ALCAP", 0) > 0) omega_[i] = nan_min(omega_[i], natural * tune("ALCAP", 0));
      const double c = mean.constraints[i];
      const double off = !equality(i) ? c : std::fabs(c);
      if (tune("ALFLOOR", 0) > 0 && !failed(mean.standing) && off > tune("ALTRIGGER", 0.0) * dg)
        omega_[i] = nan_max(omega_[i], natural / tune("ALFLOOR", 0));
    }
  }
  if (started_ && !failed(mean.standing)) {
    have_mean_ = true;
    mean_value_ = mean.standing.value;
    std::copy(mean.constraints.begin(), mean.constraints.end(), mean_constraints_.begin());
  }
  ranked.resize(rows_.size() - 1);
  for (std::size_t k = 1; k < rows_.size(); ++k) ranked[k - 1] = started_ ? penalised(rows_[k]) : kInf;
}

}  // namespace swarmix
