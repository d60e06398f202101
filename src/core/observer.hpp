#pragma once
#include <cstddef>

namespace swarmix {

// Who hears of a search's progress (not the objective it minimises). A search reports
// every iteration boundary: once after its initial population (completed = 0), then after
// each iteration (completed = 1 .. planned), with its best value so far (NaN for the
// searches that have no single best) and whether that best is feasible (a constrained
// search's best may be infeasible while no feasible point is known). When the observer returns
// true the search stops there and finishes exactly as after its last planned iteration.
class IterationObserver {
 public:
  virtual ~IterationObserver() = default;
  virtual bool iteration_done(std::size_t completed, std::size_t planned, double best, bool feasible) = 0;
};

}  // namespace swarmix
