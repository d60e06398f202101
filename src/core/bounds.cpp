#include "core/bounds.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "core/decimal.hpp"
#include "core/error.hpp"

namespace swarmix {

std::variant<Bounds, std::string> Bounds::make(std::vector<double> lower, std::vector<double> upper) {
  if (lower.size() != upper.size()) return std::string("Lower and upper bounds must have the same length");
  for (std::size_t i = 0; i < lower.size(); ++i) {
    // (an infinite side leaves no midpoint or scale to search by, and a NaN no box at all)
    for (const auto& [side, v] : {std::pair{"Lower", lower[i]}, std::pair{"Upper", upper[i]}}) {
      if (!std::isfinite(v))
        return std::string(side) + " bound " + decimal_text(v) + " at index " + std::to_string(i) + " is not finite";
    }
    if (lower[i] > upper[i]) {
      return "Lower bound " + decimal_text(lower[i]) + " > upper bound " + decimal_text(upper[i]) +
             " at index " + std::to_string(i);
    }
  }
  return Bounds(std::move(lower), std::move(upper));
}

void Bounds::too_long(std::size_t length) const {
  throw InternalError("solution has " + std::to_string(length) + " dimensions but bounds have " +
                      std::to_string(lower_.size()));
}

std::vector<double> Bounds::midpoint() const {
  std::size_t n = std::min(lower_.size(), upper_.size());
  std::vector<double> mid(n);
  for (std::size_t i = 0; i < n; ++i) mid[i] = (lower_[i] + upper_[i]) * 0.5;
  return mid;
}

}  // namespace swarmix
