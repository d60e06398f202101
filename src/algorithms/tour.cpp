#include "algorithms/tour.hpp"

namespace swarmix {

std::optional<std::string> validate_distance_matrix(const Matrix& d) {
  const std::size_t n = d.size();
  if (n == 0) return std::string("distance_matrix must be non-empty");
  for (std::size_t i = 0; i < n; ++i) {
    if (d[i].size() != n) {
      return "distance_matrix must be square: row " + std::to_string(i) + " has length " +
             std::to_string(d[i].size()) + ", expected " + std::to_string(n);
    }
  }
  return std::nullopt;
}

}  // namespace swarmix
