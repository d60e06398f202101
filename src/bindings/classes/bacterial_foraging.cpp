#include "algorithms/bacterial_foraging.hpp"
#include "bindings/registry.hpp"

namespace swarmix::py {

const ClassSpec bacterial_foraging_spec = {
    .name = "BacterialForagingOptimizer",
    .doc = "Bacterial foraging optimizer for continuous minimization.",
    .params = {param("n_bacteria", &BacterialForagingOptimizerParams::n_bacteria),
               param("n_iterations", &BacterialForagingOptimizerParams::n_iterations),
               param("n_chemotactic_steps", &BacterialForagingOptimizerParams::n_chemotactic_steps),
               param("n_reproduction_steps", &BacterialForagingOptimizerParams::n_reproduction_steps),
               param("elimination_probability", &BacterialForagingOptimizerParams::elimination_probability),
               param("step_scale", &BacterialForagingOptimizerParams::step_scale)},
    .fit_kind = FitKind::Continuous,
    .run = [](const Params& p, FitInput& in, Fitted& out) -> Status {
      BacterialForagingOptimizer bfo(*in.bounds);
      p.apply(bfo, in.common);
      if (auto error = bfo.fit(*in.problem)) return error;
      out.take_run(std::move(bfo));
      return std::nullopt;
    },
    .start = {"n_bacteria"},
};

}  // namespace swarmix::py
