#include "core/problem.hpp"

#include <cmath>
#include <limits>

namespace swarmix {

std::size_t to_city_index(double v) {
  if (!(v > 0.0)) return 0;  // negative, zero and NaN
  if (v >= 18446744073709551616.0) return std::numeric_limits<std::size_t>::max();
  return static_cast<std::size_t>(v);
}

void Problem::evaluate_group(std::span<const double> points, std::span<double> values) {
  const std::size_t d = dimensions();
  for (std::size_t k = 0; k < values.size(); ++k) values[k] = evaluate(points.subspan(k * d, d));
}

void VectorProblem::evaluate_group(std::span<const double> points, std::span<std::vector<double>> values) {
  const std::size_t d = dimensions();
  for (std::size_t k = 0; k < values.size(); ++k) values[k] = evaluate(points.subspan(k * d, d));
}

double DiscreteProblem::evaluate(std::span<const double> position) {
  const std::size_t m = position.size();
  const std::size_t n = matrix_.size();
  double total = 0.0;
  for (std::size_t k = 0; k < m; ++k) {
    std::size_t a = to_city_index(position[k]);
    std::size_t b = to_city_index(position[(k + 1) % m]);
    if (a >= n || b >= n || b >= matrix_[a].size()) return std::numeric_limits<double>::infinity();
    total += matrix_[a][b];
  }
  return total;
}

}  // namespace swarmix
