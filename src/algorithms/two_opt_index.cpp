// TwoOptIndex: what the neighbour-list scan needs to know about a distance matrix on a set of
// cities (see the proof in two_opt_neighbour_scan.cpp for how the scan uses it).
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "algorithms/tour.hpp"
#include "core/numeric.hpp"

namespace swarmix {

TwoOptIndex::TwoOptIndex(const Matrix& d, std::size_t list_length, std::size_t notes)
    : matrix_(&d), notes_(std::min<std::size_t>(notes, 254)) {
  std::vector<std::size_t> all(d.size());
  for (std::size_t k = 0; k < all.size(); ++k) all[k] = k;
  build(all, list_length);
}

TwoOptIndex::TwoOptIndex(const Matrix& d, std::span<const std::size_t> cities, std::size_t list_length,
                         std::size_t notes)
    : matrix_(&d), notes_(std::min<std::size_t>(notes, 254)) {
  build(cities, list_length);
}

void TwoOptIndex::build(std::span<const std::size_t> cities, std::size_t list_length) {
  const Matrix& d = *matrix_;
  const std::size_t s = cities.size();
  constexpr std::size_t npos = static_cast<std::size_t>(-1);
  global_.assign(cities.begin(), cities.end());
  local_.assign(d.size(), npos);
  for (std::size_t l = 0; l < s; ++l) {
    if (cities[l] >= d.size() || local_[cities[l]] != npos || d[cities[l]].size() != d.size())
      throw InternalError("a 2-opt index needs distinct cities of a valid matrix");
    local_[cities[l]] = l;
  }
  if (s < 4 || s >= std::numeric_limits<std::uint32_t>::max() || list_length == 0) return;
  // Exactly symmetric and finite off the diagonal (a tour without repeats never uses it),
  // checked on the matrix itself in tiles, so that both directions stay in the cache.
  std::vector<double> row_max(s, 0.0);
  bool integer = true;
  constexpr std::size_t kTile = 32;
  for (std::size_t x0 = 0; x0 < s; x0 += kTile) {
    for (std::size_t y0 = x0; y0 < s; y0 += kTile) {
      for (std::size_t x = x0; x < std::min(x0 + kTile, s); ++x) {
        const double* row = d[cities[x]].data();
        for (std::size_t y = std::max(y0, x + 1); y < std::min(y0 + kTile, s); ++y) {
          const double v = row[cities[y]];
          if (!(v == d[cities[y]][cities[x]]) || !std::isfinite(v)) return;
          integer = integer && std::floor(v) == v;
          row_max[x] = nan_max(row_max[x], std::fabs(v));
          row_max[y] = nan_max(row_max[y], std::fabs(v));
        }
      }
    }
  }
  double total = 0.0, largest = 0.0;
  for (double v : row_max) {
    total += v;
    largest = nan_max(largest, v);
  }
  base_ = (total + total) + total;
  factor_ = 2.0 * (3.0 * static_cast<double>(s) + 20.0) * 0x1p-53;
  exact_ = integer && largest * static_cast<double>(s) <= 0x1p52;
  if (!exact_) {
    // Far from overflow, and the slack a normal number (its rounding stays relative).
    if (!(largest > 1e-290) || !(base_ + 8.0 * largest < 1e300)) return;
    slack_ = factor_ * (base_ + 8.0 * largest);
  }
  // Rows indexed by local cities: the matrix's own when the cities are all of them in order,
  // else a compact copy.
  rows_.resize(s);
  bool identity = s == d.size();
  for (std::size_t x = 0; x < s && identity; ++x) identity = cities[x] == x;
  if (identity) {
    for (std::size_t x = 0; x < s; ++x) rows_[x] = d[x].data();
  } else {
    dist_.resize(checked_mul(s, s));
    for (std::size_t x = 0; x < s; ++x) {
      const double* row = d[cities[x]].data();
      for (std::size_t y = 0; y < s; ++y) dist_[x * s + y] = row[cities[y]];
      rows_[x] = dist_.data() + x * s;
    }
  }
  size_ = s;
  list_ = std::min(list_length, s - 1);
  near_.resize(checked_mul(s, list_));
  std::vector<std::uint32_t> others(s - 1);
  for (std::size_t x = 0; x < s; ++x) {
    const double* row = rows_[x];
    for (std::size_t y = 0, k = 0; y < s; ++y)
      if (y != x) others[k++] = static_cast<std::uint32_t>(y);
    auto closer = [row](std::uint32_t p, std::uint32_t q) { return row[p] < row[q] || (row[p] == row[q] && p < q); };
    if (list_ < others.size())
      std::nth_element(others.begin(), others.begin() + static_cast<std::ptrdiff_t>(list_), others.end(), closer);
    std::sort(others.begin(), others.begin() + static_cast<std::ptrdiff_t>(list_), closer);
    std::copy_n(others.begin(), list_, near_.begin() + static_cast<std::ptrdiff_t>(x * list_));
  }
  usable_ = true;
}

bool TwoOptIndex::covers(std::span<const std::size_t> tour) const {
  std::vector<unsigned char> seen(size_, 0);
  for (std::size_t city : tour) {
    const std::size_t l = local_[city];
    if (l >= size_ || seen[l]) return false;
    seen[l] = 1;
  }
  return true;
}

}  // namespace swarmix
