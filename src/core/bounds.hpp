#pragma once
#include <cstddef>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "core/numeric.hpp"

namespace swarmix {

// The search box. After `make`, both sides have the same length, every bound is finite and
// no lower[i] > upper[i]. An empty box is valid here.
class Bounds {
 public:
  // The box, or the error text ("Lower and upper bounds must have the same length", ...).
  static std::variant<Bounds, std::string> make(std::vector<double> lower, std::vector<double> upper);

  const std::vector<double>& lower() const { return lower_; }
  const std::vector<double>& upper() const { return upper_; }
  std::size_t size() const { return lower_.size(); }

  // Raise each coordinate to its lower bound, then lower it to its upper bound; a NaN
  // coordinate becomes the lower bound.
  void clamp(std::span<double> position) const {
    if (position.size() > lower_.size()) too_long(position.size());
    for (std::size_t i = 0; i < position.size(); ++i) position[i] = clamp_coordinate(position[i], lower_[i], upper_[i]);
  }
  std::vector<double> midpoint() const;

 private:
  [[noreturn]] void too_long(std::size_t length) const;
  Bounds(std::vector<double> lower, std::vector<double> upper)
      : lower_(std::move(lower)), upper_(std::move(upper)) {}
  std::vector<double> lower_, upper_;
};

}  // namespace swarmix
