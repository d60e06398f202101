#include "algorithms/glowworm.hpp"
#include "bindings/registry.hpp"

namespace swarmix::py {

const ClassSpec glowworm_spec = {
    .name = "GlowwormOptimizer",
    .doc = "Glowworm swarm optimizer for continuous minimization.",
    .params = {param("n_worms", &GlowwormOptimizerParams::n_worms),
               param("n_iterations", &GlowwormOptimizerParams::n_iterations),
               param("luciferin_decay", &GlowwormOptimizerParams::luciferin_decay),
               param("luciferin_enhancement", &GlowwormOptimizerParams::luciferin_enhancement),
               param("step_size", &GlowwormOptimizerParams::step_size),
               param("neighborhood_radius", &GlowwormOptimizerParams::neighborhood_radius)},
    .fit_kind = FitKind::Continuous,
    .run = [](const Params& p, FitInput& in, Fitted& out) -> Status {
      GlowwormOptimizer gso(*in.bounds);
      p.apply(gso, in.common);
      if (auto error = gso.fit(*in.problem)) return error;
      out.take_run(std::move(gso));
      return std::nullopt;
    },
    .start = {"n_worms"},
};

}  // namespace swarmix::py
