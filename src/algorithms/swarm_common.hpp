#pragma once
// Steps shared by the population algorithms that search a box. A population is kept as
// one flat buffer, row i holding the n coordinates of individual i.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <numeric>
#include <span>
#include <vector>

#include "core/bounds.hpp"
#include "core/error.hpp"
#include "core/numeric.hpp"
#include "core/problem.hpp"
#include "random/std_rng.hpp"

namespace swarmix {

// One fresh position: x[j] = lower[j] + u * span[j], one draw per coordinate, in order.
inline void draw_position(StdRng& rng, const std::vector<double>& lower, const std::vector<double>& span,
                          double* x) {
  const std::size_t n = span.size();
  for (std::size_t j = 0; j < n; ++j) x[j] = lower[j] + rng.u01() * span[j];
}

// The lowest index of the smallest value: the scan replaces only on a strictly smaller
// value, so NaN never wins and a NaN at index 0 stays. `values` must not be empty.
inline std::size_t best_index(const std::vector<double>& values) {
  std::size_t b = 0;
  for (std::size_t i = 1; i < values.size(); ++i)
    if (values[i] < values[b]) b = i;
  return b;
}

// The row of the first smallest value replaces (best_position, best_value) when it is
// strictly better: a swarm's start, whose best so far is +inf.
inline void take_better_row(const std::vector<double>& rows, const std::vector<double>& values, std::size_t d,
                            std::vector<double>& best_position, double& best_value) {
  if (values.empty()) return;
  const std::size_t b = best_index(values);
  if (!(values[b] < best_value)) return;
  std::copy_n(&rows[b * d], d, best_position.begin());
  best_value = values[b];
}

// Ascending order of objective values in which NaN is worse than every number and NaNs are
// equal to each other: a strict weak ordering, so a stable sort is well defined with NaN.
inline bool better_value(double a, double b) { return !std::isnan(a) && (std::isnan(b) || a < b); }

// order = 0 .. values.size()-1 stably sorted best first (ascending, NaN last).
inline void rank_best_first(std::vector<std::size_t>& order, std::span<const double> values) {
  order.resize(values.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(),
                   [&values](std::size_t a, std::size_t b) { return better_value(values[a], values[b]); });
}

// The caller's points replace the first rows of a drawn start (rows of d values). The start
// is drawn in full first, so every later draw is the one made without them.
inline void overwrite_rows(const Matrix& given, std::vector<double>& x, std::size_t d) {
  if (given.size() > (d == 0 ? 0 : x.size() / d)) throw InternalError("more given points than the start holds");
  for (std::size_t k = 0; k < given.size(); ++k) {
    if (given[k].size() != d) throw InternalError("a given point does not fit the start");
    std::copy(given[k].begin(), given[k].end(), x.begin() + static_cast<std::ptrdiff_t>(k * d));
  }
}

// The start of a population search before it is evaluated: n positions drawn in the box row
// after row, the caller's points put in the first rows. x gets n rows of span.size() values.
inline void draw_start(StdRng& rng, const Bounds& bounds, const std::vector<double>& span, std::size_t n,
                       const Matrix& given, std::vector<double>& x) {
  const std::size_t d = span.size();
  x.assign(checked_mul(n, d), 0.0);
  for (std::size_t i = 0; i < n; ++i) draw_position(rng, bounds.lower(), span, &x[i * d]);
  overwrite_rows(given, x, d);
}

// The start drawn (draw_start), then evaluated as one group.
inline void start_population(StdRng& rng, const Bounds& bounds, const std::vector<double>& span, std::size_t n,
                             const Matrix& given, Problem& problem, std::vector<double>& x,
                             std::vector<double>& fitness) {
  draw_start(rng, bounds, span, n, given, x);
  fitness.assign(n, 0.0);
  problem.evaluate_group(x, fitness);
}

// Points to be evaluated together: rows of d coordinates in evaluation order. A search
// fills the rows (with its draws in their usual order), evaluates them as one group, then
// uses the values in row order, so the results are those of evaluating one by one.
class PointGroup {
 public:
  explicit PointGroup(std::size_t d) : d_(d) {}
  void clear() { rows_ = 0; }
  // A new last row; the pointer stays valid until the next add_row.
  double* add_row() {
    ++rows_;
    if (points_.size() < checked_mul(rows_, d_)) points_.resize(rows_ * d_);
    return &points_[(rows_ - 1) * d_];
  }
  void evaluate(Problem& problem) {
    values_.resize(rows_);
    problem.evaluate_group({points_.data(), rows_ * d_}, values_);
  }
  // Takes back the last row.
  void drop_row() { --rows_; }
  std::size_t size() const { return rows_; }
  // The rows, one after another (for a search that evaluates them itself).
  std::span<const double> points() const { return {points_.data(), rows_ * d_}; }
  const double* row(std::size_t k) const { return &points_[k * d_]; }
  double value(std::size_t k) const { return values_[k]; }

 private:
  std::size_t d_;
  std::size_t rows_ = 0;
  std::vector<double> points_;
  std::vector<double> values_;
};

// Trials of population members that wait in one group: a member changes only when its own
// trial is taken, so a new trial may join unless it reads a member whose trial waits here.
// The search evaluates the group (and takes the trials, in row order) before such a trial.
class TrialGroup : public PointGroup {
 public:
  TrialGroup(std::size_t d, std::size_t members) : PointGroup(d), waiting_(members, 0) {}
  bool waits(std::size_t member) const { return waiting_[member] != 0; }
  // A new last row for a trial of `member`.
  double* add_trial(std::size_t member) {
    members_.push_back(member);
    waiting_[member] = 1;
    return add_row();
  }
  std::size_t member(std::size_t row) const { return members_[row]; }
  void clear() {
    for (std::size_t m : members_) waiting_[m] = 0;
    members_.clear();
    PointGroup::clear();
  }
  // Takes back the last trial (one not worth evaluating).
  void drop_last() {
    waiting_[members_.back()] = 0;
    members_.pop_back();
    drop_row();
  }

 private:
  std::vector<std::size_t> members_;    // the member of each row
  std::vector<unsigned char> waiting_;  // per member: a trial of it waits
};

// A copy of row i of a flat population.
inline std::vector<double> row_copy(const std::vector<double>& x, std::size_t i, std::size_t d) {
  return std::vector<double>(x.begin() + static_cast<std::ptrdiff_t>(i * d),
                             x.begin() + static_cast<std::ptrdiff_t>((i + 1) * d));
}

// The flat rows as separate vectors.
inline std::vector<std::vector<double>> split_rows(const std::vector<double>& flat, std::size_t n) {
  std::vector<std::vector<double>> rows;
  if (n == 0) return rows;
  rows.reserve(flat.size() / n);
  for (std::size_t at = 0; at < flat.size(); at += n) rows.emplace_back(flat.begin() + at, flat.begin() + at + n);
  return rows;
}

}  // namespace swarmix
