#pragma once
#include <string>

namespace swarmix {

// Shortest round-trip decimal digits, positional (never an exponent): 2.0 -> "2",
// 0.1 -> "0.1", 1e-4 -> "0.0001", 1e23 -> "100000000000000000000000" (the shortest digits, then
// zeros), -0.0 -> "-0", NaN -> "NaN", infinities -> "inf"/"-inf".
std::string decimal_text(double value);

}  // namespace swarmix
