#include "algorithms/nsga2.hpp"
#include "bindings/classes/archive_result.hpp"
#include "bindings/registry.hpp"

namespace swarmix::py {

const ClassSpec nsga2_spec = {
    .name = "Nsga2Optimizer",
    .doc = "NSGA-II-style multi-objective optimizer.",
    .signature = "(n_individuals=40, n_iterations=100, crossover_rate=0.9, mutation_rate=0.1, "
                 "mutation_scale=0.1, archive_size=50, random_state=None)",
    .params = {{"n_individuals", ParamKind::Count, 40},
               {"n_iterations", ParamKind::Count, 100},
               {"crossover_rate", ParamKind::Real, 0.9},
               {"mutation_rate", ParamKind::Real, 0.1},
               {"mutation_scale", ParamKind::Real, 0.1},
               {"archive_size", ParamKind::Count, 50}},
    .fit_kind = FitKind::Multi,
    .run = [](const Params& p, FitInput& in, Fitted& out) -> Status {
      Nsga2Optimizer nsga(*in.bounds);
      nsga.n_individuals = p.count(0);
      nsga.n_iterations = p.count(1);
      nsga.crossover_rate = p.real(2);
      nsga.mutation_rate = p.real(3);
      nsga.mutation_scale = p.real(4);
      nsga.archive_size = p.count(5);
      nsga.random_state = p.random_state;
      nsga.initial = in.initial;
      if (auto error = nsga.fit(*in.vector)) return error;
      store_archive_result(std::move(nsga.population), std::move(nsga.archive), out);
      return std::nullopt;
    },
    .has_history = false,
    .archive_score = archive_hypervolume,
    .start = {"n_individuals"},
};

}  // namespace swarmix::py
