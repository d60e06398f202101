#include "algorithms/permutation_genetic.hpp"
#include "bindings/registry.hpp"

namespace swarmix::py {

const ClassSpec permutation_genetic_spec = {
    .name = "PermutationGeneticOptimizer",
    .doc = "Permutation genetic optimizer for TSP-like discrete problems.",
    .signature = "(n_individuals=40, n_iterations=100, mutation_rate=0.1, use_two_opt=True, random_state=None)",
    .params = {{"n_individuals", ParamKind::Count, 40},
               {"n_iterations", ParamKind::Count, 100},
               {"mutation_rate", ParamKind::Real, 0.1},
               {"use_two_opt", ParamKind::Bool, 1}},
    .fit_kind = FitKind::Tour,
    .run = [](const Params& p, FitInput& in, Fitted& out) -> Status {
      PermutationGeneticOptimizer ga;
      ga.n_individuals = p.count(0);
      ga.n_iterations = p.count(1);
      ga.mutation_rate = p.real(2);
      ga.use_two_opt = p.flag(3);
      ga.random_state = p.random_state;
      ga.initial = in.initial;
      if (auto error = ga.fit(*in.problem)) return error;
      // Without a best (no individual at all) the fitted state stays as it was.
      if (ga.predict()) out.take_run(std::move(ga));
      return std::nullopt;
    },
    .start = {"n_individuals"},
};

}  // namespace swarmix::py
