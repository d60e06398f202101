#include "algorithms/mopso.hpp"
#include "bindings/classes/archive_result.hpp"
#include "bindings/registry.hpp"

namespace swarmix::py {

const ClassSpec mopso_spec = {
    .name = "MopsoOptimizer",
    .doc = "Multi-objective PSO.",
    .params = {param("n_particles", &MopsoOptimizerParams::n_particles),
               param("n_iterations", &MopsoOptimizerParams::n_iterations),
               param("w", &MopsoOptimizerParams::w),
               param("c1", &MopsoOptimizerParams::c1),
               param("c2", &MopsoOptimizerParams::c2),
               param("mutation_scale", &MopsoOptimizerParams::mutation_scale),
               param("archive_size", &MopsoOptimizerParams::archive_size)},
    .fit_kind = FitKind::Multi,
    .run = [](const Params& p, FitInput& in, Fitted& out) -> Status {
      MopsoOptimizer mopso(*in.bounds);
      p.apply(mopso, in.common);
      if (auto error = mopso.fit(*in.vector)) return error;
      store_archive_result(std::move(mopso.population), std::move(mopso.archive), out);
      return std::nullopt;
    },
    .has_history = false,
    .archive_score = archive_hypervolume,
    .start = {"n_particles"},
};

}  // namespace swarmix::py
