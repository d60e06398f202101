#include "algorithms/particle_swarm.hpp"
#include "bindings/registry.hpp"

namespace swarmix::py {

const ClassSpec particle_swarm_spec = {
    .name = "ParticleSwarm",
    .doc = "Particle Swarm Optimization for continuous minimization.\n\n"
           "Exposed to Python as `swarmix._swarmix.ParticleSwarm`.",
    .signature = "(n_particles=30, n_iterations=100, w=0.9, c1=2.0, c2=2.0, random_state=None)",
    .params = {{"n_particles", ParamKind::Count, 30},
               {"n_iterations", ParamKind::Count, 100},
               {"w", ParamKind::Real, 0.9},
               {"c1", ParamKind::Real, 2.0},
               {"c2", ParamKind::Real, 2.0}},
    .fit_kind = FitKind::Continuous,
    .run = [](const Params& p, FitInput& in, Fitted& out) -> Status {
      ParticleSwarm pso(*in.bounds);
      pso.n_particles = p.count(0);
      pso.n_iterations = p.count(1);
      pso.w = p.real(2);
      pso.c1 = p.real(3);
      pso.c2 = p.real(4);
      pso.random_state = p.random_state;
      pso.initial = in.initial;
      if (auto error = pso.fit(*in.problem)) return error;
      out.take_best(pso.predict(), true);
      return std::nullopt;
    },
    .fit_doc = "Minimize `objective(list[float]) -> float` over the box `[lower, upper]`.",
    .predict_doc = "Return the best position found.",
    .score_doc = "Return the objective value at the best position.",
    .repr = {0, 1, 2, 3, 4},
    .single_entry = true,
    .start = {"n_particles"},
};

}  // namespace swarmix::py
