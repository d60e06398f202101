#pragma once
// Distance matrices and tours. A tour is a closed cycle of city indices (any length, repeats
// allowed); its length includes the return edge from the last city to the first.
#include <cstddef>
#include <cstdint>
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
// The result is exactly that of the literal scan (two_opt_reference), reached faster. On a
// matrix that is exactly symmetric and finite on the tour's cities, with a tour that repeats
// no city, neighbour lists point to the few candidates that can be accepted and rows known
// to hold none are skipped (NeighbourScan). Otherwise every candidate is visited, most of
// them rejected by an error-bounded edge delta (FastScan). Either way a candidate is only
// measured in full, in the literal order of additions, when no bound decides it.
TwoOptOutcome two_opt(std::span<const std::size_t> tour, const Matrix& d);

// What the neighbour-list scan of two_opt needs to know about a distance matrix, restricted
// to a set of distinct cities: whether the matrix is exactly symmetric and finite there (and
// whether its entries are integers small enough for every tour sum to be exact), its rows
// (the matrix's own when the cities are all of them, else a compact copy of those distances)
// and, for every city, its nearest others in ascending order. It is
// built once per matrix (once per fit in the tour optimisers, once per call of two_opt) and
// only read by the scans; a matrix that does not qualify leaves it unusable, and two_opt
// then visits every candidate. It keeps a pointer to the matrix, which must outlive it.
class TwoOptIndex {
 public:
  static constexpr std::size_t kListLength = 16;  // neighbours listed per city
  static constexpr std::size_t kNotes = 6;        // turned edges a row of the scan notes

  // Every city of the matrix (which must be valid).
  explicit TwoOptIndex(const Matrix& d, std::size_t list_length = kListLength, std::size_t notes = kNotes);
  // The given cities (distinct indices of the valid matrix d).
  TwoOptIndex(const Matrix& d, std::span<const std::size_t> cities, std::size_t list_length = kListLength,
              std::size_t notes = kNotes);
  // Its rows may point into its own storage: it stays where it was built.
  TwoOptIndex(const TwoOptIndex&) = delete;
  TwoOptIndex& operator=(const TwoOptIndex&) = delete;

  bool usable() const { return usable_; }
  bool exact() const { return exact_; }
  // Every entry of the tour is a city of the index, and none occurs twice.
  bool covers(std::span<const std::size_t> tour) const;
  const Matrix& matrix() const { return *matrix_; }

 private:
  friend class NeighbourScan;
  void build(std::span<const std::size_t> cities, std::size_t list_length);

  const Matrix* matrix_;
  bool usable_ = false;
  bool exact_ = false;        // integer entries, every sum of a tour's edges exact
  std::size_t size_ = 0;      // s, the number of cities
  std::size_t list_ = 0;      // K, entries per neighbour list (at most s - 1)
  std::size_t notes_;         // notes per row in the scan (at most 254)
  std::vector<std::size_t> global_;  // local city -> matrix index
  std::vector<std::size_t> local_;   // matrix index -> local city, or npos
  std::vector<double> dist_;         // s x s, row-major, local indices (unless the rows are d's)
  std::vector<const double*> rows_;  // local city -> its row, indexed by local cities
  std::vector<std::uint32_t> near_;  // s x K: each city's K nearest others, ascending
  double base_ = 0.0;     // 3 * (sum over cities of the largest |distance| in their row)
  double factor_ = 0.0;   // 2 (3s + 20) u
  double slack_ = 0.0;    // factor * (base + 8 max|distance|): no candidate's bound exceeds it
};

// two_opt with an index of d (built from d, covering the tour's cities). Same result as
// two_opt(tour, d); a tour whose cities the index does not cover, or that repeats a city,
// takes the full scan.
TwoOptOutcome two_opt(std::span<const std::size_t> tour, const Matrix& d, const TwoOptIndex& index);

// The literal scan: every candidate is a fresh reversed copy, measured in full.
TwoOptOutcome two_opt_reference(std::span<const std::size_t> tour, const Matrix& d);

}  // namespace swarmix
