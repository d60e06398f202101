#include "algorithms/bee_colony.hpp"
#include "bindings/registry.hpp"

namespace swarmix::py {

const ClassSpec bee_colony_spec = {
    .name = "BeeColony",
    .doc = "Artificial Bee Colony for continuous minimization.\n\n"
           "Exposed to Python as `swarmix._swarmix.BeeColony`.",
    .params = {param("n_bees", &BeeColonyParams::n_bees),
               param("n_iterations", &BeeColonyParams::n_iterations),
               param("limit", &BeeColonyParams::limit)},
    .fit_kind = FitKind::Continuous,
    .run = [](const Params& p, FitInput& in, Fitted& out) -> Status {
      BeeColony abc(*in.bounds);
      p.apply(abc, in.common);
      if (auto error = abc.fit(*in.problem)) return error;
      out.take_best(abc.predict(), true);
      return std::nullopt;
    },
    .fit_doc = "Minimize `objective(list[float]) -> float` over the box `[lower, upper]`.",
    .predict_doc = "Return the best position found.",
    .score_doc = "Return the objective value at the best position.",
    .repr = true,
    .single_entry = true,
    .start = {"n_bees", BeeColony::food_sources},
};

}  // namespace swarmix::py
