#pragma once
// Distance matrices and tours. A tour is a closed cycle of city indices (any length, repeats
// allowed); its length includes the return edge from the last city to the first.
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "core/error.hpp"
#include "core/problem.hpp"

namespace swarmix {

// "distance_matrix must be non-empty", or the first row whose length is not n:
// "distance_matrix must be square: row {i} has length {len}, expected {n}".
std::optional<std::string> validate_distance_matrix(const Matrix& d);

// True when `position` holds every city 0 .. n-1 exactly once, written as floats (n = its
// length, at least 1): the tour of a tour optimiser's result.
bool is_city_permutation(std::span<const double> position);

// Sum of d[t[k]][t[(k + 1) % m]] for k = 0 .. m-1 in this order, from 0.0 (0.0 when empty).
// An entry that is not a row index of `d`, or a short row, is an InternalError.
double tour_length(std::span<const std::size_t> tour, const Matrix& d);

struct TwoOptResult {
  std::vector<std::size_t> tour;
  double length;
};
using TwoOptOutcome = std::variant<TwoOptResult, OptimizationError>;

// First-improvement 2-opt with restart: positions 1 .. m-3 start a reversal [i, j) with
// j = i+2 .. m, a candidate is taken when its full closed length plus 1e-12 is strictly
// below the current one, and every taken move restarts the scan. Position 0 never moves.
// Tours of fewer than 4 entries come back unchanged. Errors: an invalid matrix, or a tour
// entry that is not a city index.
//
// The result is exactly that of the literal scan (two_opt_reference); candidates are only
// re-measured in full when an error-bounded edge delta cannot rule out their acceptance.
TwoOptOutcome two_opt(std::span<const std::size_t> tour, const Matrix& d);

// The literal scan: every candidate is a fresh reversed copy, measured in full.
TwoOptOutcome two_opt_reference(std::span<const std::size_t> tour, const Matrix& d);

}  // namespace swarmix
