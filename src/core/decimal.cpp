#include "core/decimal.hpp"

#include <charconv>
#include <cmath>

namespace swarmix {

std::string decimal_text(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  // The longest positional form of a finite double (5e-324) has 327 characters.
  char buffer[400];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
  return std::string(buffer, result.ptr);
}

}  // namespace swarmix
