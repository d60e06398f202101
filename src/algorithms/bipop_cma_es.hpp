#pragma once
#include <cstdint>
#include <optional>

#include "algorithms/base.hpp"

namespace swarmix {

// BipopCmaEs's hyperparameters: field = Python keyword name, initialiser = default.
struct BipopCmaEsParams {
  std::optional<std::size_t> n_evaluations = std::nullopt;  // none: 10,000 x d
  // The first run's step size as a fraction of the box's width.
  double sigma0 = 0.3;
  std::optional<std::size_t> population_size = std::nullopt;  // none: 4 + floor(3 ln d), with d_int integer coordinates 6 + floor(3 ln(d d_int))
  std::size_t max_restarts = 9;
};

// Why a run ended, in the order of the names in kRunEndNames.
enum class RunEnd : std::uint8_t {
  TolFun,          // the best values of the recent generations and the last generation's values agree
  TolX,            // the steps along every coordinate and the evolution path are negligible
  NoEffectAxis,    // a step along a principal axis leaves the mean unchanged
  NoEffectCoord,   // a step along a coordinate leaves the mean unchanged
  ConditionCov,    // the covariance's condition number passed 1e14, or it has no decomposition
  EqualFunValues,  // the best values of the recent generations are all equal
  Stagnation,      // the recent best and median values improve no more
  TolUpSigma,      // the step size grew by a factor 1e20 over the largest axis
  MaxIter,         // 100 + 150 (d + 3)^2 / sqrt(population) generations
  MaxFevals,       // a small-population run used half the evaluations of the last large one
  Budget,          // the fit's n_evaluations were used
  Stopped,         // the observer stopped the fit
  FlatFitness,     // the best value and the one at rank floor(population / 4) (at least 1) are equal
};
// The names of RunEnd's values in order, null-terminated ("tolfun", ...).
extern const char* const kRunEndNames[];

// One run of the restarting search: its row of runs_ is these fields in this order.
struct RunSummary {
  std::size_t population_size;
  double sigma0;  // the run's initial step, a fraction of the box's width
  std::size_t evaluations;
  double best_value;
  RunEnd end;
};

// CMA-ES (weighted recombination with negative weights for the worse half, cumulative
// step-size adaptation, rank-one and rank-mu covariance updates, the usual default constants)
// restarted in two regimes: after the first run with the default population (counted for
// neither), each restart goes to the regime that has used fewer evaluations so far, the large
// one (population doubled at each of its restarts, the initial step) or the small one (a
// random population between the first one and half the last large one, the initial step times
// 10^(-2u), at most half the evaluations of the last large run). max_restarts counts the large
// regime's restarts: once they are made, the fit ends when the large regime's turn comes again
// (the small runs go on until they have used as many evaluations as the large ones). A run
// also ends on a flat generation, so that a plateau is left for a new start. The search runs
// in coordinates normalised to the box; a point outside is mapped into it by a
// piecewise-quadratic reflection, the search itself keeps the unmapped point. A generation is
// never cut: the last one may pass n_evaluations.
//
// Constraints: each generation also evaluates the distribution's mean (its first point), and
// the samples are ranked by an augmented Lagrangian whose coefficients adapt from the mean's
// rows and start afresh with each run (algorithms/augmented_lagrangian.hpp); as those values
// move, a constrained run never ends by stagnation. Restarts draw their mean as unconstrained
// ones do. The best point (predict, the history, the observer) follows Deb's order over every
// evaluated point; a run's best_value is the value of its best feasible point (+inf when it
// evaluated none). With no constraint the search is exactly the unconstrained one.
class BipopCmaEs final : public Optimizer, public BipopCmaEsParams, public SearchSettings {
 public:
  using Hyperparameters = BipopCmaEsParams;
  explicit BipopCmaEs(Bounds bounds) : bounds(std::move(bounds)) {}
  Bounds bounds;
  // The runs in order. record: the best value after each generation; the last generation.
  std::vector<RunSummary> runs;

  Status fit(Problem& problem) override;
  // A constrained fit: `problem` gives rows [value, g..., h...] (SearchSettings::constraints).
  Status fit(VectorProblem& problem);

 private:
  // The one search, over a ValueProblem or a StandingProblem (core/constraints.hpp).
  template <class Scored>
  Status search(Scored& problem);
};

}  // namespace swarmix
