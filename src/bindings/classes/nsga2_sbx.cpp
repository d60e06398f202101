#include "algorithms/nsga2_sbx.hpp"
#include "bindings/classes/archive_result.hpp"
#include "bindings/registry.hpp"

namespace swarmix::py {

const ClassSpec nsga2_sbx_spec = {
    .name = "Nsga2Sbx",
    .doc = "NSGA-II with simulated binary crossover and polynomial mutation.",
    .params = {param("n_individuals", &Nsga2SbxParams::n_individuals),
               param("n_iterations", &Nsga2SbxParams::n_iterations),
               param("crossover_rate", &Nsga2SbxParams::crossover_rate),
               param("crossover_eta", &Nsga2SbxParams::crossover_eta),
               param("mutation_rate", &Nsga2SbxParams::mutation_rate),
               param("mutation_eta", &Nsga2SbxParams::mutation_eta)},
    .fit_kind = FitKind::Multi,
    .run = [](const Params& p, FitInput& in, Fitted& out) -> Status {
      Nsga2Sbx nsga(*in.bounds);
      p.apply(nsga, in.common);
      if (auto error = nsga.fit(*in.vector)) return error;
      store_genetic_result(nsga, out);
      return std::nullopt;
    },
    .score_doc = kHypervolumeScoreDoc,
    .score_reference = true,
    .start = {"n_individuals"},
    .constraints = true,
    .integers = true,
};

}  // namespace swarmix::py
