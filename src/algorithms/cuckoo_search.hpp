#pragma once
#include "algorithms/base.hpp"

namespace swarmix {

// CuckooSearch's hyperparameters: field = Python keyword name, initialiser = default.
struct CuckooSearchParams {
  std::size_t n_nests = 25;
  std::size_t n_iterations = 100;
  double pa = 0.25;
  double alpha = 0.01;
  double levy_scale = 1.0;
};

// Cuckoo search: every nest tries a heavy-tailed jump and keeps it only when it improves;
// then the ceil(n_nests * pa) worst nests (at least one, at most all) are re-seeded
// uniformly in the box.
class CuckooSearch final : public Optimizer, public CuckooSearchParams, public SearchSettings {
 public:
  using Hyperparameters = CuckooSearchParams;
  CuckooSearch(Bounds bounds) : bounds(std::move(bounds)) {}
  Bounds bounds;
  // record: best value after each iteration, and the final nests; emptied when a fit starts.

  Status fit(Problem& problem) override;

  // How many nests are abandoned per iteration: ceil(n_nests * pa) saturated into a count
  // (negative and NaN give 0), then kept within [1, n_nests].
  std::size_t abandoned_per_iteration() const;
};

}  // namespace swarmix
