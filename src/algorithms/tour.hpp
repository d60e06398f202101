#pragma once
// Distance matrices and tours.
#include <optional>
#include <string>

#include "core/problem.hpp"

namespace swarmix {

// "distance_matrix must be non-empty", or the first row whose length is not n:
// "distance_matrix must be square: row {i} has length {len}, expected {n}".
std::optional<std::string> validate_distance_matrix(const Matrix& d);

}  // namespace swarmix
