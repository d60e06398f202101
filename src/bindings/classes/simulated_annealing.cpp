#include "algorithms/simulated_annealing.hpp"
#include "bindings/registry.hpp"

namespace swarmix::py {

const ClassSpec simulated_annealing_spec = {
    .name = "SimulatedAnnealing",
    .doc = "Simulated annealing for continuous minimization.",
    .params = {param("initial_temperature", &SimulatedAnnealingParams::initial_temperature),
               param("cooling_rate", &SimulatedAnnealingParams::cooling_rate),
               param("step_scale", &SimulatedAnnealingParams::step_scale),
               param("n_iterations", &SimulatedAnnealingParams::n_iterations)},
    .fit_kind = FitKind::Continuous,
    .run = [](const Params& p, FitInput& in, Fitted& out) -> Status {
      SimulatedAnnealing sa(*in.bounds);
      p.apply(sa, in.common);
      if (auto error = sa.fit(*in.problem)) return error;
      out.take_run(std::move(sa));
      return std::nullopt;
    },
};

}  // namespace swarmix::py
