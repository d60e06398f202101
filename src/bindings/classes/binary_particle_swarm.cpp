#include "algorithms/binary_particle_swarm.hpp"
#include "bindings/registry.hpp"

namespace swarmix::py {

const ClassSpec binary_particle_swarm_spec = {
    .name = "BinaryParticleSwarm",
    .doc = "Binary PSO for bit-vector objectives.",
    .params = {param("n_particles", &BinaryParticleSwarmParams::n_particles),
               param("n_iterations", &BinaryParticleSwarmParams::n_iterations),
               param("w", &BinaryParticleSwarmParams::w),
               param("c1", &BinaryParticleSwarmParams::c1),
               param("c2", &BinaryParticleSwarmParams::c2)},
    .fit_kind = FitKind::Binary,
    .run = [](const Params& p, FitInput& in, Fitted& out) -> Status {
      BinaryParticleSwarm swarm;
      p.apply(swarm, in.common);
      // The box only gives the number of bits.
      if (auto error = swarm.fit(*in.problem)) return error;
      out.take_run(std::move(swarm));
      return std::nullopt;
    },
    .start = {"n_particles"},
};

}  // namespace swarmix::py
