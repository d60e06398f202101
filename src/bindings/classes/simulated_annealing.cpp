#include "algorithms/simulated_annealing.hpp"
#include "bindings/registry.hpp"

namespace swarmix::py {

const ClassSpec simulated_annealing_spec = {
    .name = "SimulatedAnnealing",
    .doc = "Simulated annealing for continuous minimization.",
    .signature = "(initial_temperature=10.0, cooling_rate=0.95, step_scale=0.1, n_iterations=100, random_state=None)",
    .params = {{"initial_temperature", ParamKind::Real, 10.0},
               {"cooling_rate", ParamKind::Real, 0.95},
               {"step_scale", ParamKind::Real, 0.1},
               {"n_iterations", ParamKind::Count, 100}},
    .fit_kind = FitKind::Continuous,
    .run = [](const Params& p, FitInput& in, Fitted& out) -> Status {
      SimulatedAnnealing sa(*in.bounds);
      sa.initial_temperature = p.real(0);
      sa.cooling_rate = p.real(1);
      sa.step_scale = p.real(2);
      sa.n_iterations = p.count(3);
      sa.random_state = p.random_state;
      sa.initial = in.initial;
      if (auto error = sa.fit(*in.problem)) return error;
      out.take_run(std::move(sa));
      return std::nullopt;
    },
};

}  // namespace swarmix::py
