#include "algorithms/cma_es.hpp"
#include "bindings/registry.hpp"

namespace swarmix::py {

const ClassSpec cma_es_spec = {
    .name = "CmaEsOptimizer",
    .doc = "CMA-ES-style optimizer for continuous minimization.",
    .params = {param("n_individuals", &CmaEsOptimizerParams::n_individuals),
               param("n_iterations", &CmaEsOptimizerParams::n_iterations),
               param("sigma", &CmaEsOptimizerParams::sigma)},
    .fit_kind = FitKind::Continuous,
    .run = [](const Params& p, FitInput& in, Fitted& out) -> Status {
      CmaEsOptimizer cma(*in.bounds);
      p.apply(cma, in.common);
      if (auto error = cma.fit(*in.problem)) return error;
      out.take_run(std::move(cma));
      return std::nullopt;
    },
};

}  // namespace swarmix::py
