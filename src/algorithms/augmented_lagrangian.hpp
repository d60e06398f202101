#pragma once
// The augmented Lagrangian with adaptive coefficients by which BipopCmaEs ranks the points of a
// constrained problem (Atamna, Auger & Hansen, "Linearly convergent evolution strategies via
// augmented Lagrangian constraint handling", FOGA 2017).
#include <cstddef>
#include <span>
#include <vector>

#include "core/constraints.hpp"

namespace swarmix {

// The Lagrangian sees inequalities c <= 0: each g, and each equality h as the two
// h - 1e-4 <= 0 and -h - 1e-4 <= 0 (so that it aims at the tolerance's edge, where an optimum
// that the tolerance lets move lies). For a row [f, c...] the penalised value is
//   f + sum over c of (gamma c + omega c^2 / 2 when gamma + omega c >= 0, else -gamma^2 / (2 omega)),
// one multiplier gamma >= 0 and one coefficient omega > 0 per c. Both adapt after each
// generation from the rows of the distribution's mean before and after its update: gamma
// moves by omega times the new mean's c (and stays at least 0); omega grows (by 2^(1/(2d)) in
// d dimensions) when the new mean's penalty term omega c^2 is below 3/d of the change of the
// mean's penalised value, or when its c changed by less than a fifth of its size, and shrinks
// (by 2^(-1/d)) otherwise. A run's first generation sets every gamma to 0 and each omega to the
// spread of its f values over the square of the spread of its c values, so that the ranking
// does not depend on the scales of f and of each constraint.
class AugmentedLagrangian {
 public:
  AugmentedLagrangian(const ConstraintCounts& counts, std::size_t dimensions);

  // Forgets the coefficients: the next generation sets them afresh (a new run).
  void restart();

  // One generation: row k's standing and `constraints.constraint_values(k)` (g then h), row 0
  // the mean, rows 1 .. the samples. Adapts the coefficients and gives the samples' penalised
  // values, +inf for a failed row.
  template <class Rows>
  void rank(std::span<const Standing> standing, const Rows& constraints, std::vector<double>& ranked) {
    const std::size_t m = gamma_.size();
    rows_.resize(standing.size());
    values_.resize(standing.size() * m);
    for (std::size_t k = 0; k < standing.size(); ++k) {
      inequalities_of(constraints.constraint_values(k), &values_[k * m]);
      rows_[k] = {standing[k], std::span<const double>(values_).subspan(k * m, m)};
    }
    rank_rows(ranked);
  }

 private:
  struct Row {
    Standing standing;
    std::span<const double> c;
  };
  void inequalities_of(std::span<const double> constraint_values, double* c) const;
  void rank_rows(std::vector<double>& ranked);
  void start();
  void adapt(const Row& mean);
  double penalised(const Row& row) const;

  std::size_t inequalities_;  // the g among a row's constraint values
  double dimensions_;
  double grow_, shrink_;  // omega's factors
  bool started_ = false;
  std::vector<double> gamma_, omega_;
  // The last mean's objective value and c values (finite); none at a run's start.
  bool have_mean_ = false;
  double mean_value_ = 0.0;
  std::vector<double> mean_c_;
  std::vector<Row> rows_;
  std::vector<double> values_, work_;  // the rows' c values; the spreads' work space
};

}  // namespace swarmix
