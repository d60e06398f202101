#include "algorithms/differential_evolution.hpp"
#include "bindings/registry.hpp"

namespace swarmix::py {

const ClassSpec differential_evolution_spec = {
    .name = "DifferentialEvolution",
    .doc = "Differential evolution for continuous minimization.",
    .signature = "(n_individuals=40, n_iterations=100, f=0.8, cr=0.9, random_state=None)",
    .params = {{"n_individuals", ParamKind::Count, 40},
               {"n_iterations", ParamKind::Count, 100},
               {"f", ParamKind::Real, 0.8},
               {"cr", ParamKind::Real, 0.9}},
    .fit_kind = FitKind::Continuous,
    .run = [](const Params& p, FitInput& in, Fitted& out) -> Status {
      DifferentialEvolution de(*in.bounds);
      de.n_individuals = p.count(0);
      de.n_iterations = p.count(1);
      de.f = p.real(2);
      de.cr = p.real(3);
      de.random_state = p.random_state;
      de.initial = in.initial;
      if (auto error = de.fit(*in.problem)) return error;
      out.take_run(std::move(de));
      return std::nullopt;
    },
    .start = {"n_individuals"},
};

}  // namespace swarmix::py
