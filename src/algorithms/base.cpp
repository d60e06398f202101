#include "algorithms/base.hpp"

#include <algorithm>
#include <string>

namespace swarmix {

OptimizationError dimension_mismatch(std::size_t problem_dimensions, std::size_t box_dimensions) {
  return OptimizationError::dimension_mismatch("Problem has " + std::to_string(problem_dimensions) +
                                               " dimensions but bounds have " + std::to_string(box_dimensions));
}

std::variant<InitResult, OptimizationError> validate_and_init(const Bounds& bounds, const Problem& problem,
                                                               const Seed& random_state) {
  return validate_and_init(bounds, problem.dimensions(), random_state);
}

std::variant<InitResult, OptimizationError> validate_and_init(const Bounds& bounds, std::size_t problem_dimensions,
                                                               const Seed& random_state) {
  const std::size_t n = bounds.lower().size();
  if (n == 0) return OptimizationError::invalid_input("Problem must have at least one dimension");
  if (problem_dimensions != n) return dimension_mismatch(problem_dimensions, n);
  StdRng rng = StdRng::from_seed(random_state);
  const std::size_t m = std::min(bounds.lower().size(), bounds.upper().size());
  std::vector<double> span(m);
  for (std::size_t i = 0; i < m; ++i) span[i] = bounds.upper()[i] - bounds.lower()[i];
  return InitResult{std::move(rng), n, std::move(span)};
}

}  // namespace swarmix
