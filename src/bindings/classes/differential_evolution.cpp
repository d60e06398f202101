#include "algorithms/differential_evolution.hpp"
#include "bindings/registry.hpp"

namespace swarmix::py {

const ClassSpec differential_evolution_spec = {
    .name = "DifferentialEvolution",
    .doc = "Differential evolution for continuous minimization.",
    .params = {param("n_individuals", &DifferentialEvolutionParams::n_individuals),
               param("n_iterations", &DifferentialEvolutionParams::n_iterations),
               param("f", &DifferentialEvolutionParams::f),
               param("cr", &DifferentialEvolutionParams::cr)},
    .fit_kind = FitKind::Continuous,
    .run = [](const Params& p, FitInput& in, Fitted& out) -> Status {
      DifferentialEvolution de(*in.bounds);
      p.apply(de, in.common);
      if (auto error = in.vector ? de.fit(*in.vector) : de.fit(*in.problem)) return error;
      out.take_run(std::move(de));
      return std::nullopt;
    },
    .start = {"n_individuals"},
    .constraints = true,
    .integers = true,
};

}  // namespace swarmix::py
