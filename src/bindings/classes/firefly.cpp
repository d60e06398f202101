#include "algorithms/firefly.hpp"
#include "bindings/registry.hpp"

namespace swarmix::py {

const ClassSpec firefly_spec = {
    .name = "FireflyOptimizer",
    .doc = "Firefly algorithm for continuous minimization.",
    .signature = "(n_fireflies=30, n_iterations=100, beta0=1.0, gamma=1.0, alpha=0.2, random_state=None)",
    .params = {{"n_fireflies", ParamKind::Count, 30},
               {"n_iterations", ParamKind::Count, 100},
               {"beta0", ParamKind::Real, 1.0},
               {"gamma", ParamKind::Real, 1.0},
               {"alpha", ParamKind::Real, 0.2}},
    .fit_kind = FitKind::Continuous,
    .run = [](const Params& p, FitInput& in, Fitted& out) -> Status {
      FireflyOptimizer fa(*in.bounds);
      fa.n_fireflies = p.count(0);
      fa.n_iterations = p.count(1);
      fa.beta0 = p.real(2);
      fa.gamma = p.real(3);
      fa.alpha = p.real(4);
      fa.random_state = p.random_state;
      fa.initial = in.initial;
      if (auto error = fa.fit(*in.problem)) return error;
      out.take_run(std::move(fa));
      return std::nullopt;
    },
    .start = {"n_fireflies"},
};

}  // namespace swarmix::py
