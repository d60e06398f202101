#pragma once
#include <algorithm>

#include "algorithms/base.hpp"

namespace swarmix {

// BeeColony's hyperparameters: field = Python keyword name, initialiser = default.
struct BeeColonyParams {
  std::size_t n_bees = 50;
  std::size_t n_iterations = 100;
  std::size_t limit = 10;
};

// Artificial bee colony: floor(n_bees / 2) food sources (at least one) improved by an
// employed phase, an onlooker phase that favours good sources, and a scout phase that
// re-seeds the most stagnant source once its trial counter exceeds `limit`.
class BeeColony final : public Optimizer, public BeeColonyParams, public SearchSettings {
 public:
  using Hyperparameters = BeeColonyParams;
  BeeColony(Bounds bounds) : bounds(std::move(bounds)) {}
  Bounds bounds;

  Status fit(Problem& problem) override;

  // The colony's food sources: one per two bees, at least one.
  static std::size_t food_sources(std::size_t bees) { return std::max<std::size_t>(1, bees / 2); }
};

}  // namespace swarmix
