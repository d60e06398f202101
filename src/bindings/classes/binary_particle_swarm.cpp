#include "algorithms/binary_particle_swarm.hpp"
#include "bindings/registry.hpp"

namespace swarmix::py {

const ClassSpec binary_particle_swarm_spec = {
    .name = "BinaryParticleSwarm",
    .doc = "Binary PSO for bit-vector objectives.",
    .signature = "(n_particles=30, n_iterations=100, w=0.7, c1=1.5, c2=1.5, random_state=None)",
    .params = {{"n_particles", ParamKind::Count, 30},
               {"n_iterations", ParamKind::Count, 100},
               {"w", ParamKind::Real, 0.7},
               {"c1", ParamKind::Real, 1.5},
               {"c2", ParamKind::Real, 1.5}},
    .fit_kind = FitKind::Binary,
    .run = [](const Params& p, FitInput& in, Fitted& out) -> Status {
      BinaryParticleSwarm swarm;
      swarm.n_particles = p.count(0);
      swarm.n_iterations = p.count(1);
      swarm.w = p.real(2);
      swarm.c1 = p.real(3);
      swarm.c2 = p.real(4);
      swarm.random_state = p.random_state;
      // The box only gives the number of bits.
      swarm.initial = in.initial;
      if (auto error = swarm.fit(*in.problem)) return error;
      out.take_run(std::move(swarm));
      return std::nullopt;
    },
    .start = {"n_particles"},
};

}  // namespace swarmix::py
