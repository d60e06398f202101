#include "algorithms/grey_wolf.hpp"
#include "bindings/registry.hpp"

namespace swarmix::py {

const ClassSpec grey_wolf_spec = {
    .name = "GreyWolfOptimizer",
    .doc = "Grey Wolf Optimizer for continuous minimization.",
    .params = {param("n_wolves", &GreyWolfOptimizerParams::n_wolves),
               param("n_iterations", &GreyWolfOptimizerParams::n_iterations)},
    .fit_kind = FitKind::Continuous,
    .run = [](const Params& p, FitInput& in, Fitted& out) -> Status {
      GreyWolfOptimizer gwo(*in.bounds);
      p.apply(gwo, in.common);
      if (auto error = gwo.fit(*in.problem)) return error;
      out.take_run(std::move(gwo));
      return std::nullopt;
    },
    .start = {"n_wolves"},
};

}  // namespace swarmix::py
