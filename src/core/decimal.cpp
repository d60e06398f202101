#include "core/decimal.hpp"

#include <charconv>
#include <cmath>

namespace swarmix {

std::string decimal_text(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  // The shortest round-trip digits, taken from the scientific form "-d.ddde+XX" (the fixed
  // form would spell out the exact binary value of a large whole number: 1e23 as
  // 99999999999999991611392), then placed positionally.
  char buffer[64];
  const char* const end = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific).ptr;
  const char* p = buffer;
  std::string text;
  if (*p == '-') text.push_back(*p++);
  std::string digits;
  for (; *p != 'e'; ++p)
    if (*p != '.') digits.push_back(*p);
  ++p;
  const bool negative_exponent = *p == '-';
  int exponent = 0;
  std::from_chars(p + 1, end, exponent);
  // The value is 0.d1d2d3... times ten to the power `point`.
  const long point = (negative_exponent ? -exponent : exponent) + 1L;
  const long n = static_cast<long>(digits.size());
  if (point <= 0) {
    text += "0.";
    text.append(static_cast<std::size_t>(-point), '0');
    text += digits;
  } else if (point >= n) {
    text += digits;
    text.append(static_cast<std::size_t>(point - n), '0');
  } else {
    text.append(digits, 0, static_cast<std::size_t>(point));
    text += '.';
    text.append(digits, static_cast<std::size_t>(point));
  }
  return text;
}

}  // namespace swarmix
