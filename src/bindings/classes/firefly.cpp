#include "algorithms/firefly.hpp"
#include "bindings/registry.hpp"

namespace swarmix::py {

const ClassSpec firefly_spec = {
    .name = "FireflyOptimizer",
    .doc = "Firefly algorithm for continuous minimization.",
    .params = {param("n_fireflies", &FireflyOptimizerParams::n_fireflies),
               param("n_iterations", &FireflyOptimizerParams::n_iterations),
               param("beta0", &FireflyOptimizerParams::beta0),
               param("gamma", &FireflyOptimizerParams::gamma),
               param("alpha", &FireflyOptimizerParams::alpha)},
    .fit_kind = FitKind::Continuous,
    .run = [](const Params& p, FitInput& in, Fitted& out) -> Status {
      FireflyOptimizer fa(*in.bounds);
      p.apply(fa, in.common);
      if (auto error = fa.fit(*in.problem)) return error;
      out.take_run(std::move(fa));
      return std::nullopt;
    },
    .start = {"n_fireflies"},
};

}  // namespace swarmix::py
