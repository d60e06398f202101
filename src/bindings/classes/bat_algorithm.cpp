#include "algorithms/bat_algorithm.hpp"
#include "bindings/registry.hpp"

namespace swarmix::py {

const ClassSpec bat_algorithm_spec = {
    .name = "BatAlgorithm",
    .doc = "Bat algorithm for continuous minimization.",
    .signature = "(n_bats=30, n_iterations=100, fmin=0.0, fmax=2.0, alpha=0.9, gamma=0.9, loudness=1.0, "
                 "pulse_rate=0.5, random_state=None)",
    .params = {{"n_bats", ParamKind::Count, 30},
               {"n_iterations", ParamKind::Count, 100},
               {"fmin", ParamKind::Real, 0.0},
               {"fmax", ParamKind::Real, 2.0},
               {"alpha", ParamKind::Real, 0.9},
               {"gamma", ParamKind::Real, 0.9},
               {"loudness", ParamKind::Real, 1.0},
               {"pulse_rate", ParamKind::Real, 0.5}},
    .fit_kind = FitKind::Continuous,
    .run = [](const Params& p, FitInput& in, Fitted& out) -> Status {
      BatAlgorithm bat(*in.bounds);
      bat.n_bats = p.count(0);
      bat.n_iterations = p.count(1);
      bat.fmin = p.real(2);
      bat.fmax = p.real(3);
      bat.alpha = p.real(4);
      bat.gamma = p.real(5);
      bat.loudness = p.real(6);
      bat.pulse_rate = p.real(7);
      bat.random_state = p.random_state;
      bat.initial = in.initial;
      if (auto error = bat.fit(*in.problem)) return error;
      out.take_run(std::move(bat));
      return std::nullopt;
    },
    .start = {"n_bats"},
};

}  // namespace swarmix::py
