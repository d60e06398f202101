#include "algorithms/permutation_genetic.hpp"
#include "bindings/registry.hpp"

namespace swarmix::py {

const ClassSpec permutation_genetic_spec = {
    .name = "PermutationGeneticOptimizer",
    .doc = "Permutation genetic optimizer for TSP-like discrete problems.",
    .params = {param("n_individuals", &PermutationGeneticOptimizerParams::n_individuals),
               param("n_iterations", &PermutationGeneticOptimizerParams::n_iterations),
               param("mutation_rate", &PermutationGeneticOptimizerParams::mutation_rate),
               param("use_two_opt", &PermutationGeneticOptimizerParams::use_two_opt)},
    .fit_kind = FitKind::Tour,
    .run = [](const Params& p, FitInput& in, Fitted& out) -> Status {
      PermutationGeneticOptimizer ga;
      p.apply(ga, in.common);
      if (auto error = ga.fit(*in.problem)) return error;
      // Without a best (no individual at all) the fitted state stays as it was.
      if (ga.predict()) out.take_run(std::move(ga));
      return std::nullopt;
    },
    .start = {"n_individuals"},
};

}  // namespace swarmix::py
