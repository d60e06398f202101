#include "algorithms/grey_wolf.hpp"
#include "bindings/registry.hpp"

namespace swarmix::py {

const ClassSpec grey_wolf_spec = {
    .name = "GreyWolfOptimizer",
    .doc = "Grey Wolf Optimizer for continuous minimization.",
    .signature = "(n_wolves=30, n_iterations=100, random_state=None)",
    .params = {{"n_wolves", ParamKind::Count, 30}, {"n_iterations", ParamKind::Count, 100}},
    .fit_kind = FitKind::Continuous,
    .run = [](const Params& p, FitInput& in, Fitted& out) -> Status {
      GreyWolfOptimizer gwo(*in.bounds);
      gwo.n_wolves = p.count(0);
      gwo.n_iterations = p.count(1);
      gwo.random_state = p.random_state;
      gwo.initial = in.initial;
      if (auto error = gwo.fit(*in.problem)) return error;
      out.take_run(std::move(gwo));
      return std::nullopt;
    },
    .start = {"n_wolves"},
};

}  // namespace swarmix::py
