#include "algorithms/bipop_cma_es.hpp"
#include "bindings/registry.hpp"

namespace swarmix::py {

const ClassSpec bipop_cma_es_spec = {
    .name = "BipopCmaEs",
    .doc = "CMA-ES with BIPOP restarts for continuous minimization.\n\n"
           "The fit ends when n_evaluations are used, or when max_restarts restarts with a doubled\n"
           "population have been made and the small-population restarts between them have used as\n"
           "many evaluations.\n\n"
           "With n_constraints or n_equalities, each generation also evaluates its mean, and the\n"
           "points are ranked by an augmented Lagrangian whose coefficients adapt by themselves (no\n"
           "weight to set); predict() and history_ follow the feasibility order over every point,\n"
           "and a run's best_value in runs_ is its best feasible value (inf when it found none).\n\n"
           "With integer, every point is whole at those coordinates (their steps bounded below, the\n"
           "selected samples centred on their whole numbers), and the default population is\n"
           "6 + floor(3 ln(d d_int)) for d_int integer coordinates.",
    .params = {param("n_evaluations", &BipopCmaEsParams::n_evaluations),
               param("sigma0", &BipopCmaEsParams::sigma0),
               param("population_size", &BipopCmaEsParams::population_size),
               param("max_restarts", &BipopCmaEsParams::max_restarts)},
    .fit_kind = FitKind::Continuous,
    .run = [](const Params& p, FitInput& in, Fitted& out) -> Status {
      BipopCmaEs search(*in.bounds);
      p.apply(search, in.common);
      if (auto error = in.vector ? search.fit(*in.vector) : search.fit(*in.problem)) return error;
      std::vector<std::vector<double>> runs;
      runs.reserve(search.runs.size());
      for (const RunSummary& r : search.runs)
        runs.push_back({static_cast<double>(r.population_size), r.sigma0, static_cast<double>(r.evaluations),
                        r.best_value, static_cast<double>(r.end)});
      out.take_run(std::move(search));
      out.runs = std::move(runs);
      return std::nullopt;
    },
    .run_fields = {{"population_size", ParamKind::Count},
                   {"sigma0", ParamKind::Real},
                   {"evaluations", ParamKind::Count},
                   {"best_value", ParamKind::Real},
                   {"termination", ParamKind::Choice, kRunEndNames}},
    .constraints = true,
    .integers = true,
};

}  // namespace swarmix::py
