#pragma once
// The augmented Lagrangian with adaptive coefficients by which BipopCmaEs ranks the points of a
// constrained problem (Atamna, Auger & Hansen, "Linearly convergent evolution strategies via
// augmented Lagrangian constraint handling", FOGA 2017), with equalities in the Lagrangian.
#include <cstddef>
#include <span>
#include <vector>

#include "core/constraints.hpp"

namespace swarmix {

// For a row [f, g..., h...] the penalised value is
//   f + sum over g of (gamma g + omega g^2 / 2 when gamma + omega g >= 0, else -gamma^2 / (2 omega))
//     + sum over h of (gamma h + omega h^2 / 2),
// one multiplier gamma and one coefficient omega per constraint. Both adapt after each
// generation from the rows of the distribution's mean before and after its update: the
// multiplier moves by omega times the new mean's constraint value (an inequality's stays at
// least 0); omega grows when the new mean's penalty is small beside the change of the mean's
// penalised value, or when its constraint value changed little beside its size, and shrinks
// otherwise. A run's first generation sets the multipliers to 0 and each omega to the spread
// of its f values over the square of the spread of the constraint's values, so that ranking
// does not depend on the scales of f and of each constraint.
class AugmentedLagrangian {
 public:
  AugmentedLagrangian(const ConstraintCounts& counts, std::size_t dimensions);

  // Forgets the coefficients: the next generation sets them afresh (a new run).
  void restart();

  // One generation: the mean's standing and constraint values, and the samples' (`standing`
  // and `constraints` of row k; row 0 is the mean). Adapts the coefficients and gives the
  // samples' penalised values (rows 1 ..), +inf for a failed row.
  template <class Rows>
  void rank(std::span<const Standing> standing, const Rows& constraints, std::vector<double>& ranked) {
    const std::size_t m = counts_.total();
    rows_.resize(standing.size());
    values_.resize(standing.size() * m);
    for (std::size_t k = 0; k < standing.size(); ++k) {
      const std::span<const double> c = constraints.constraint_values(k);
      for (std::size_t i = 0; i < m; ++i) values_[k * m + i] = transformed(i, c[i]);
      rows_[k] = {standing[k], std::span<const double>(values_).subspan(k * m, m)};
    }
    rank_rows(ranked);
  }

 private:
  struct Row {
    Standing standing;
    std::span<const double> constraints;
  };
  void rank_rows(std::vector<double>& ranked);
  double transformed(std::size_t i, double c) const;
  bool equality(std::size_t i) const;
  void start(std::span<const Row> samples);
  void adapt(const Row& mean);
  double penalised(const Row& row) const;

  ConstraintCounts counts_;
  double dimensions_;
  double grow_, shrink_;  // omega's factors
  bool started_ = false;
  std::vector<double> gamma_, omega_;
  // The last mean's objective value and constraint values (finite).
  bool have_mean_ = false;
  double mean_value_ = 0.0;
  std::vector<double> mean_constraints_;
  std::vector<Row> rows_;
  std::vector<double> values_;
  std::vector<double> work_;
};

}  // namespace swarmix
