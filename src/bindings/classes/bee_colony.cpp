#include "algorithms/bee_colony.hpp"
#include "bindings/registry.hpp"

namespace swarmix::py {

const ClassSpec bee_colony_spec = {
    .name = "BeeColony",
    .doc = "Artificial Bee Colony for continuous minimization.\n\n"
           "Exposed to Python as `swarmix._swarmix.BeeColony`.",
    .signature = "(n_bees=50, n_iterations=100, limit=10, random_state=None)",
    .params = {{"n_bees", ParamKind::Count, 50},
               {"n_iterations", ParamKind::Count, 100},
               {"limit", ParamKind::Count, 10}},
    .fit_kind = FitKind::Continuous,
    .run = [](const Params& p, FitInput& in, Fitted& out) -> Status {
      BeeColony abc(*in.bounds);
      abc.n_bees = p.count(0);
      abc.n_iterations = p.count(1);
      abc.limit = p.count(2);
      abc.random_state = p.random_state;
      abc.initial = in.initial;
      if (auto error = abc.fit(*in.problem)) return error;
      out.take_best(abc.predict(), true);
      return std::nullopt;
    },
    .fit_doc = "Minimize `objective(list[float]) -> float` over the box `[lower, upper]`.",
    .predict_doc = "Return the best position found.",
    .score_doc = "Return the objective value at the best position.",
    .repr = {0, 1, 2},
    .single_entry = true,
    .start = {"n_bees", BeeColony::food_sources},
};

}  // namespace swarmix::py
