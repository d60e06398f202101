#include "algorithms/cuckoo_search.hpp"
#include "bindings/registry.hpp"

namespace swarmix::py {

const ClassSpec cuckoo_search_spec = {
    .name = "CuckooSearch",
    .doc = "Cuckoo search for continuous minimization.",
    .signature = "(n_nests=25, n_iterations=100, pa=0.25, alpha=0.01, levy_scale=1.0, random_state=None)",
    .params = {{"n_nests", ParamKind::Count, 25},
               {"n_iterations", ParamKind::Count, 100},
               {"pa", ParamKind::Real, 0.25},
               {"alpha", ParamKind::Real, 0.01},
               {"levy_scale", ParamKind::Real, 1.0}},
    .fit_kind = FitKind::Continuous,
    .run = [](const Params& p, FitInput& in, Fitted& out) -> Status {
      CuckooSearch cs(*in.bounds);
      cs.n_nests = p.count(0);
      cs.n_iterations = p.count(1);
      cs.pa = p.real(2);
      cs.alpha = p.real(3);
      cs.levy_scale = p.real(4);
      cs.random_state = p.random_state;
      cs.initial = in.initial;
      if (auto error = cs.fit(*in.problem)) return error;
      out.take_run(std::move(cs));
      return std::nullopt;
    },
    .start = {"n_nests"},
};

}  // namespace swarmix::py
