#include "algorithms/cma_es.hpp"
#include "bindings/registry.hpp"

namespace swarmix::py {

const ClassSpec cma_es_spec = {
    .name = "CmaEsOptimizer",
    .doc = "CMA-ES-style optimizer for continuous minimization.",
    .signature = "(n_individuals=20, n_iterations=100, sigma=0.5, random_state=None)",
    .params = {{"n_individuals", ParamKind::Count, 20},
               {"n_iterations", ParamKind::Count, 100},
               {"sigma", ParamKind::Real, 0.5}},
    .fit_kind = FitKind::Continuous,
    .run = [](const Params& p, FitInput& in, Fitted& out) -> Status {
      CmaEsOptimizer cma(*in.bounds);
      cma.n_individuals = p.count(0);
      cma.n_iterations = p.count(1);
      cma.sigma = p.real(2);
      cma.random_state = p.random_state;
      cma.initial = in.initial;
      if (auto error = cma.fit(*in.problem)) return error;
      out.take_run(std::move(cma));
      return std::nullopt;
    },
};

}  // namespace swarmix::py
