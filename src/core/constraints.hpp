#pragma once
// Constraints and integer coordinates, as every search that handles them reads them.
//
// A constrained fit's objective returns a row per point: its objective values (one for the
// single-objective searches), then the inequality values g (met when g <= 0), then the
// equality values h (met when |h| <= kEqualityTolerance). A row with a NaN or an infinity
// anywhere (or the row of a failed evaluation, +inf throughout) is failed: value +inf,
// violation +inf.
#include <cstddef>
#include <span>
#include <vector>

#include "core/problem.hpp"

namespace swarmix {

// How far an equality value may be from 0 and still be met.
inline constexpr double kEqualityTolerance = 1e-4;

// How many constraint values follow the objective values of a row.
struct ConstraintCounts {
  std::size_t inequalities = 0;
  std::size_t equalities = 0;

  std::size_t total() const { return inequalities + equalities; }
  bool any() const { return inequalities != 0 || equalities != 0; }
};

// The violation of the constraint values g then h: the sum of max(g, 0) over g, then of
// max(|h| - kEqualityTolerance, 0) over h, in that order. 0.0 exactly when every one is met.
double violation(std::span<const double> constraint_values, std::size_t inequalities);

// A point as Deb's feasibility rules see it: its objective value and its violation (0.0:
// feasible). An unconstrained point is feasible.
struct Standing {
  double value = 0.0;
  double violation = 0.0;

  bool feasible() const { return violation == 0.0; }
};

// Whether every entry of a row is a finite number.
bool finite_row(std::span<const double> row);

// The standing of a single-objective row [value, g..., h...] (1 + counts.total() entries):
// {+inf, +inf} for a failed row.
Standing standing_of(std::span<const double> row, const ConstraintCounts& counts);

// The violation of a row of m objective values followed by its constraint values (the last
// counts.total() entries): +inf for a failed row.
double row_violation(std::span<const double> row, const ConstraintCounts& counts);

// Deb's order: a feasible point beats an infeasible one, two feasible points compare by value,
// two infeasible ones by violation. `better` is strict; `not_worse` holds on a tie too. Between
// feasible points these are exactly `<` and `<=` of the values (a NaN value never wins), so an
// unconstrained search that compares standings compares its values.
inline bool better(const Standing& a, const Standing& b) {
  if (a.violation == 0.0) return b.violation != 0.0 || a.value < b.value;
  return b.violation != 0.0 && a.violation < b.violation;
}

inline bool not_worse(const Standing& a, const Standing& b) {
  if (a.violation == 0.0) return b.violation != 0.0 || a.value <= b.value;
  return b.violation != 0.0 && a.violation <= b.violation;
}

// The same order for the plain values of an unconstrained search: exactly `<` and `<=`.
inline bool better(double a, double b) { return a < b; }
inline bool not_worse(double a, double b) { return a <= b; }
// What a search reports of a value or a standing: its objective value, and whether it is feasible.
inline double value_of(double v) { return v; }
inline double value_of(const Standing& s) { return s.value; }
inline bool is_feasible(double) { return true; }
inline bool is_feasible(const Standing& s) { return s.feasible(); }

// Constraint-domination (Deb et al. 2002) of a over b, given their violations: a feasible and
// b not; both infeasible and a with the smaller violation; both feasible and a's objectives
// dominating b's (`dominates()`, asked only then).
template <class Dominates>
bool constraint_dominates(double violation_a, double violation_b, Dominates&& dominates) {
  const bool feasible_a = violation_a == 0.0;
  if (feasible_a != (violation_b == 0.0)) return feasible_a;
  if (!feasible_a) return violation_a < violation_b;
  return dominates();
}

// What a single-objective search that handles constraints evaluates, as the type its search
// is written for: a ValueProblem (a Problem's values: Score double) when unconstrained, a
// StandingProblem (a VectorProblem's rows [value, g..., h...]: Score Standing) when
// constrained. Both give the scores of a group of rows of dimensions() coordinates, in row
// order, and the constraint values (g then h) of row k of the last group (none when
// unconstrained), which stay readable until the next group.
class ValueProblem {
 public:
  using Score = double;
  explicit ValueProblem(Problem& problem) : problem_(problem) {}
  std::size_t dimensions() const { return problem_.dimensions(); }
  void evaluate_group(std::span<const double> points, std::span<double> out) {
    if (!out.empty()) problem_.evaluate_group(points, out);
  }
  std::span<const double> constraint_values(std::size_t) const { return {}; }

 private:
  Problem& problem_;
};

class StandingProblem {
 public:
  using Score = Standing;
  StandingProblem(VectorProblem& problem, const ConstraintCounts& counts) : problem_(problem), counts_(counts) {}
  std::size_t dimensions() const { return problem_.dimensions(); }
  void evaluate_group(std::span<const double> points, std::span<Standing> out);
  std::span<const double> constraint_values(std::size_t k) const {
    return std::span<const double>(rows_[k]).subspan(1);
  }

 private:
  VectorProblem& problem_;
  ConstraintCounts counts_;
  std::vector<std::vector<double>> rows_;
};

// The indices of the set entries of an integer mask (empty: none).
std::vector<std::size_t> integer_indices(const std::vector<bool>& mask);

// The integer coordinates of a point rounded to the nearest whole number (half away from
// zero), kept inside their bounds (whole numbers, so the result stays whole).
void round_integers(double* x, std::span<const std::size_t> indices, const std::vector<double>& lower,
                    const std::vector<double>& upper);

}  // namespace swarmix
