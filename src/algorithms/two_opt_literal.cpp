// The literal scan: every candidate a fresh reversed copy, measured in full. The other scans
// take exactly its moves; it is kept for the tests.
#include <algorithm>
#include <vector>

#include "algorithms/two_opt_scans.hpp"
#include "core/interrupt.hpp"

namespace swarmix {

TwoOptOutcome two_opt_reference(std::span<const std::size_t> tour, const Matrix& d) {
  if (auto error = check_two_opt_input(tour, d)) return *error;
  std::vector<std::size_t> best(tour.begin(), tour.end());
  const std::size_t m = best.size();
  double best_len = tour_length(best, d);
  if (m < 4) return TwoOptResult{std::move(best), best_len};
  bool improved = true;
  while (improved) {
    interruption_point();
    improved = false;
    for (std::size_t i = 1; i + 3 <= m && !improved; ++i) {
      for (std::size_t j = i + 2; j <= m; ++j) {
        std::vector<std::size_t> candidate = best;
        std::reverse(candidate.begin() + static_cast<std::ptrdiff_t>(i),
                     candidate.begin() + static_cast<std::ptrdiff_t>(j));
        const double cand_len = tour_length(candidate, d);
        if (cand_len + kTwoOptMargin < best_len) {
          best = std::move(candidate);
          best_len = cand_len;
          improved = true;
          break;
        }
      }
    }
  }
  return TwoOptResult{std::move(best), best_len};
}

}  // namespace swarmix
