#include "algorithms/bacterial_foraging.hpp"
#include "bindings/registry.hpp"

namespace swarmix::py {

const ClassSpec bacterial_foraging_spec = {
    .name = "BacterialForagingOptimizer",
    .doc = "Bacterial foraging optimizer for continuous minimization.",
    .signature = "(n_bacteria=30, n_iterations=100, n_chemotactic_steps=10, n_reproduction_steps=4, "
                 "elimination_probability=0.25, step_scale=0.1, random_state=None)",
    .params = {{"n_bacteria", ParamKind::Count, 30},
               {"n_iterations", ParamKind::Count, 100},
               {"n_chemotactic_steps", ParamKind::Count, 10},
               {"n_reproduction_steps", ParamKind::Count, 4},
               {"elimination_probability", ParamKind::Real, 0.25},
               {"step_scale", ParamKind::Real, 0.1}},
    .fit_kind = FitKind::Continuous,
    .run = [](const Params& p, FitInput& in, Fitted& out) -> Status {
      BacterialForagingOptimizer bfo(*in.bounds);
      bfo.n_bacteria = p.count(0);
      bfo.n_iterations = p.count(1);
      bfo.n_chemotactic_steps = p.count(2);
      bfo.n_reproduction_steps = p.count(3);
      bfo.elimination_probability = p.real(4);
      bfo.step_scale = p.real(5);
      bfo.random_state = p.random_state;
      bfo.initial = in.initial;
      if (auto error = bfo.fit(*in.problem)) return error;
      out.take_run(std::move(bfo));
      return std::nullopt;
    },
    .start = {"n_bacteria"},
};

}  // namespace swarmix::py
