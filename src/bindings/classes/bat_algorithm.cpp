#include "algorithms/bat_algorithm.hpp"
#include "bindings/registry.hpp"

namespace swarmix::py {

const ClassSpec bat_algorithm_spec = {
    .name = "BatAlgorithm",
    .doc = "Bat algorithm for continuous minimization.",
    .params = {param("n_bats", &BatAlgorithmParams::n_bats),
               param("n_iterations", &BatAlgorithmParams::n_iterations),
               param("fmin", &BatAlgorithmParams::fmin),
               param("fmax", &BatAlgorithmParams::fmax),
               param("alpha", &BatAlgorithmParams::alpha),
               param("gamma", &BatAlgorithmParams::gamma),
               param("loudness", &BatAlgorithmParams::loudness),
               param("pulse_rate", &BatAlgorithmParams::pulse_rate)},
    .fit_kind = FitKind::Continuous,
    .run = [](const Params& p, FitInput& in, Fitted& out) -> Status {
      BatAlgorithm bat(*in.bounds);
      p.apply(bat, in.common);
      if (auto error = bat.fit(*in.problem)) return error;
      out.take_run(std::move(bat));
      return std::nullopt;
    },
    .start = {"n_bats"},
};

}  // namespace swarmix::py
