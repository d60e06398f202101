#include "algorithms/particle_swarm.hpp"
#include "bindings/registry.hpp"

namespace swarmix::py {

const ClassSpec particle_swarm_spec = {
    .name = "ParticleSwarm",
    .doc = "Particle Swarm Optimization for continuous minimization.\n\n"
           "Exposed to Python as `swarmix._swarmix.ParticleSwarm`.",
    .params = {param("n_particles", &ParticleSwarmParams::n_particles),
               param("n_iterations", &ParticleSwarmParams::n_iterations),
               param("w", &ParticleSwarmParams::w),
               param("c1", &ParticleSwarmParams::c1),
               param("c2", &ParticleSwarmParams::c2)},
    .fit_kind = FitKind::Continuous,
    .run = [](const Params& p, FitInput& in, Fitted& out) -> Status {
      ParticleSwarm pso(*in.bounds);
      p.apply(pso, in.common);
      if (auto error = pso.fit(*in.problem)) return error;
      out.take_best(pso.predict(), true);
      return std::nullopt;
    },
    .fit_doc = "Minimize `objective(list[float]) -> float` over the box `[lower, upper]`.",
    .predict_doc = "Return the best position found.",
    .score_doc = "Return the objective value at the best position.",
    .repr = true,
    .single_entry = true,
    .start = {"n_particles"},
};

}  // namespace swarmix::py
