#include "algorithms/cuckoo_search.hpp"
#include "bindings/registry.hpp"

namespace swarmix::py {

const ClassSpec cuckoo_search_spec = {
    .name = "CuckooSearch",
    .doc = "Cuckoo search for continuous minimization.",
    .params = {param("n_nests", &CuckooSearchParams::n_nests),
               param("n_iterations", &CuckooSearchParams::n_iterations),
               param("pa", &CuckooSearchParams::pa),
               param("alpha", &CuckooSearchParams::alpha),
               param("levy_scale", &CuckooSearchParams::levy_scale)},
    .fit_kind = FitKind::Continuous,
    .run = [](const Params& p, FitInput& in, Fitted& out) -> Status {
      CuckooSearch cs(*in.bounds);
      p.apply(cs, in.common);
      if (auto error = cs.fit(*in.problem)) return error;
      out.take_run(std::move(cs));
      return std::nullopt;
    },
    .start = {"n_nests"},
};

}  // namespace swarmix::py
