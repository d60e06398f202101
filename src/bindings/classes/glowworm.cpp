#include "algorithms/glowworm.hpp"
#include "bindings/registry.hpp"

namespace swarmix::py {

const ClassSpec glowworm_spec = {
    .name = "GlowwormOptimizer",
    .doc = "Glowworm swarm optimizer for continuous minimization.",
    .signature = "(n_worms=30, n_iterations=100, luciferin_decay=0.4, luciferin_enhancement=0.6, step_size=0.1, "
                 "neighborhood_radius=1.0, random_state=None)",
    .params = {{"n_worms", ParamKind::Count, 30},
               {"n_iterations", ParamKind::Count, 100},
               {"luciferin_decay", ParamKind::Real, 0.4},
               {"luciferin_enhancement", ParamKind::Real, 0.6},
               {"step_size", ParamKind::Real, 0.1},
               {"neighborhood_radius", ParamKind::Real, 1.0}},
    .fit_kind = FitKind::Continuous,
    .run = [](const Params& p, FitInput& in, Fitted& out) -> Status {
      GlowwormOptimizer gso(*in.bounds);
      gso.n_worms = p.count(0);
      gso.n_iterations = p.count(1);
      gso.luciferin_decay = p.real(2);
      gso.luciferin_enhancement = p.real(3);
      gso.step_size = p.real(4);
      gso.neighborhood_radius = p.real(5);
      gso.random_state = p.random_state;
      gso.initial = in.initial;
      if (auto error = gso.fit(*in.problem)) return error;
      out.take_run(std::move(gso));
      return std::nullopt;
    },
    .start = {"n_worms"},
};

}  // namespace swarmix::py
