#include "algorithms/tour.hpp"

#include <cmath>
#include <string>
#include <vector>

#include "algorithms/two_opt_scans.hpp"

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

bool is_city_permutation(std::span<const double> position) {
  const std::size_t n = position.size();
  if (n == 0) return false;
  std::vector<bool> seen(n, false);
  for (double v : position) {
    if (!(v >= 0.0 && v < static_cast<double>(n)) || v != std::floor(v)) return false;
    const auto city = static_cast<std::size_t>(v);
    if (seen[city]) return false;
    seen[city] = true;
  }
  return true;
}

double tour_length(std::span<const std::size_t> tour, const Matrix& d) {
  const std::size_t m = tour.size();
  double total = 0.0;
  for (std::size_t k = 0; k < m; ++k) {
    const std::size_t a = tour[k];
    const std::size_t b = tour[k + 1 == m ? 0 : k + 1];
    if (a >= d.size() || b >= d[a].size()) {
      throw InternalError("tour edge " + std::to_string(a) + " -> " + std::to_string(b) +
                          " is outside the distance matrix");
    }
    total += d[a][b];
  }
  return total;
}

std::optional<OptimizationError> check_two_opt_input(std::span<const std::size_t> tour, const Matrix& d) {
  if (auto text = validate_distance_matrix(d)) return OptimizationError::invalid_input(std::move(*text));
  for (std::size_t k = 0; k < tour.size(); ++k) {
    if (tour[k] >= d.size()) {
      return OptimizationError::invalid_input("tour[" + std::to_string(k) + "] = " + std::to_string(tour[k]) +
                                              " is not a valid city index for " + std::to_string(d.size()) +
                                              " cities");
    }
  }
  return std::nullopt;
}

namespace {

// True when no city occurs twice in the tour (entries already checked to be cities of d).
bool repeats_no_city(std::span<const std::size_t> tour, std::size_t n) {
  std::vector<unsigned char> seen(n, 0);
  for (std::size_t city : tour) {
    if (seen[city]) return false;
    seen[city] = 1;
  }
  return true;
}

}  // namespace

// Which scan: the neighbour-list scan where an index is usable, otherwise the full scan.
TwoOptOutcome two_opt(std::span<const std::size_t> tour, const Matrix& d) {
  if (auto error = check_two_opt_input(tour, d)) return *error;
  std::vector<std::size_t> best(tour.begin(), tour.end());
  if (best.size() < 4) {
    const double length = tour_length(best, d);
    return TwoOptResult{std::move(best), length};
  }
  if (repeats_no_city(tour, d.size())) {
    // Every city in some order: the index reads the matrix's own rows.
    const TwoOptIndex index = tour.size() == d.size() ? TwoOptIndex(d) : TwoOptIndex(d, tour);
    if (index.usable()) return neighbour_scan(index, tour);
  }
  return full_scan(std::move(best), d);
}

TwoOptOutcome two_opt(std::span<const std::size_t> tour, const Matrix& d, const TwoOptIndex& index) {
  if (&index.matrix() != &d) throw InternalError("a 2-opt index of another matrix");
  if (auto error = check_two_opt_input(tour, d)) return *error;
  std::vector<std::size_t> best(tour.begin(), tour.end());
  if (best.size() < 4) {
    const double length = tour_length(best, d);
    return TwoOptResult{std::move(best), length};
  }
  if (index.usable() && index.covers(tour)) return neighbour_scan(index, tour);
  return full_scan(std::move(best), d);
}

}  // namespace swarmix
