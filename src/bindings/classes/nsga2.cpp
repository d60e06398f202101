#include "algorithms/nsga2.hpp"
#include "bindings/classes/archive_result.hpp"
#include "bindings/registry.hpp"

namespace swarmix::py {

const ClassSpec nsga2_spec = {
    .name = "Nsga2Optimizer",
    .doc = "NSGA-II-style multi-objective optimizer.",
    .params = {param("n_individuals", &Nsga2OptimizerParams::n_individuals),
               param("n_iterations", &Nsga2OptimizerParams::n_iterations),
               param("crossover_rate", &Nsga2OptimizerParams::crossover_rate),
               param("mutation_rate", &Nsga2OptimizerParams::mutation_rate),
               param("mutation_scale", &Nsga2OptimizerParams::mutation_scale),
               param("archive_size", &Nsga2OptimizerParams::archive_size)},
    .fit_kind = FitKind::Multi,
    .run = [](const Params& p, FitInput& in, Fitted& out) -> Status {
      Nsga2Optimizer nsga(*in.bounds);
      p.apply(nsga, in.common);
      if (auto error = nsga.fit(*in.vector)) return error;
      store_archive_result(std::move(nsga.population), std::move(nsga.archive), out);
      return std::nullopt;
    },
    .has_history = false,
    .archive_score = archive_hypervolume,
    .start = {"n_individuals"},
};

}  // namespace swarmix::py
