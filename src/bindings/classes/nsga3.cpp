#include "algorithms/nsga3.hpp"
#include "bindings/classes/archive_result.hpp"
#include "bindings/registry.hpp"

namespace swarmix::py {

const ClassSpec nsga3_spec = {
    .name = "Nsga3",
    .doc = "NSGA-III: many-objective search by reference directions, with simulated binary crossover and "
           "polynomial mutation.",
    .params = {param("n_iterations", &Nsga3Params::n_iterations),
               param("reference_directions", &Nsga3Params::reference_directions),
               param("n_individuals", &Nsga3Params::n_individuals),
               param("crossover_rate", &Nsga3Params::crossover_rate),
               param("crossover_eta", &Nsga3Params::crossover_eta),
               param("mutation_rate", &Nsga3Params::mutation_rate),
               param("mutation_eta", &Nsga3Params::mutation_eta)},
    .fit_kind = FitKind::Multi,
    .run = [](const Params& p, FitInput& in, Fitted& out) -> Status {
      Nsga3 nsga(*in.bounds, in.n_objectives);
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
