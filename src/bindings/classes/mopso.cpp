#include "algorithms/mopso.hpp"
#include "bindings/classes/archive_result.hpp"
#include "bindings/registry.hpp"

namespace swarmix::py {

const ClassSpec mopso_spec = {
    .name = "MopsoOptimizer",
    .doc = "Multi-objective PSO.",
    .signature = "(n_particles=30, n_iterations=100, w=0.7, c1=1.5, c2=1.5, mutation_scale=0.1, "
                 "archive_size=50, random_state=None)",
    .params = {{"n_particles", ParamKind::Count, 30},
               {"n_iterations", ParamKind::Count, 100},
               {"w", ParamKind::Real, 0.7},
               {"c1", ParamKind::Real, 1.5},
               {"c2", ParamKind::Real, 1.5},
               {"mutation_scale", ParamKind::Real, 0.1},
               {"archive_size", ParamKind::Count, 50}},
    .fit_kind = FitKind::Multi,
    .run = [](const Params& p, FitInput& in, Fitted& out) -> Status {
      MopsoOptimizer mopso(*in.bounds);
      mopso.n_particles = p.count(0);
      mopso.n_iterations = p.count(1);
      mopso.w = p.real(2);
      mopso.c1 = p.real(3);
      mopso.c2 = p.real(4);
      mopso.mutation_scale = p.real(5);
      mopso.archive_size = p.count(6);
      mopso.random_state = p.random_state;
      mopso.initial = in.initial;
      if (auto error = mopso.fit(*in.vector)) return error;
      store_archive_result(std::move(mopso.population), std::move(mopso.archive), out);
      return std::nullopt;
    },
    .has_history = false,
    .archive_score = archive_hypervolume,
    .start = {"n_particles"},
};

}  // namespace swarmix::py
