#pragma once
// What the files of two_opt share (internal to them): the acceptance margin, the input
// check, and the two fast scans, which take exactly the literal scan's moves. The literal
// scan is in two_opt_literal.cpp, the full scan with its proof in two_opt_full_scan.cpp, the
// neighbour-list index in two_opt_index.cpp and its scan with the proof in
// two_opt_neighbour_scan.cpp.
#include <optional>
#include <span>
#include <vector>

#include "algorithms/tour.hpp"

namespace swarmix {

// The acceptance margin: a candidate is taken when cand_len + kTwoOptMargin < best_len.
inline constexpr double kTwoOptMargin = 1e-12;

// The matrix is checked first (so an invalid one is reported even for an empty tour), then
// every entry: a caller's bad index is invalid input, never an out-of-bounds read.
std::optional<OptimizationError> check_two_opt_input(std::span<const std::size_t> tour, const Matrix& d);

// The full scan (FastScan) of a checked tour of at least 4 entries.
TwoOptResult full_scan(std::vector<std::size_t> tour, const Matrix& d);

// The neighbour-list scan of a checked tour of at least 4 entries that the usable index
// covers.
TwoOptResult neighbour_scan(const TwoOptIndex& index, std::span<const std::size_t> tour);

}  // namespace swarmix
