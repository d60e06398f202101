#include "core/constraints.hpp"

#include <cmath>
#include <limits>

#include "core/error.hpp"
#include "core/numeric.hpp"

namespace swarmix {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

}  // namespace

double violation(std::span<const double> constraint_values, std::size_t inequalities) {
  double total = 0.0;
  for (std::size_t i = 0; i < constraint_values.size(); ++i) {
    const double v = constraint_values[i];
    total += i < inequalities ? nan_max(v, 0.0) : nan_max(std::fabs(v) - kEqualityTolerance, 0.0);
  }
  return total;
}

bool finite_row(std::span<const double> row) {
  for (double v : row)
    if (!std::isfinite(v)) return false;
  return true;
}

Standing standing_of(std::span<const double> row, const ConstraintCounts& counts) {
  if (row.size() != 1 + counts.total()) throw InternalError("a constrained row of the wrong length");
  if (!finite_row(row)) return {kInf, kInf};
  return {row[0], violation(row.subspan(1), counts.inequalities)};
}

double row_violation(std::span<const double> row, const ConstraintCounts& counts) {
  if (row.size() < counts.total()) throw InternalError("a constrained row of the wrong length");
  if (!finite_row(row)) return kInf;
  return violation(row.subspan(row.size() - counts.total()), counts.inequalities);
}

void StandingProblem::evaluate_group(std::span<const double> points, std::span<Standing> out) {
  if (out.empty()) return;
  rows_.resize(out.size());
  problem_.evaluate_group(points, rows_);
  for (std::size_t k = 0; k < out.size(); ++k) out[k] = standing_of(rows_[k], counts_);
}

std::vector<std::size_t> integer_indices(const std::vector<bool>& mask) {
  std::vector<std::size_t> indices;
  for (std::size_t j = 0; j < mask.size(); ++j)
    if (mask[j]) indices.push_back(j);
  return indices;
}

void round_integers(double* x, std::span<const std::size_t> indices, const std::vector<double>& lower,
                    const std::vector<double>& upper) {
  for (std::size_t j : indices) x[j] = clamp_coordinate(std::round(x[j]), lower[j], upper[j]);
}

}  // namespace swarmix
