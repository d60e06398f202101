#pragma once
// Pareto toolkit of the multi-objective optimisers: dominance, the fast non-dominated sort,
// crowding distance, the bounded archive, uniform populations and the hypervolume.
// Free functions without state.
#include <cstddef>
#include <span>
#include <utility>
#include <vector>

#include "core/bounds.hpp"
#include "core/problem.hpp"
#include "random/std_rng.hpp"

namespace swarmix {

// One evaluated candidate; every objective is minimised. In a constrained fit also its
// constraint values (g then h) and their violation (0.0: feasible; +inf: a failed evaluation).
struct ParetoPoint {
  ParetoPoint() = default;
  ParetoPoint(std::vector<double> position, std::vector<double> objectives)
      : position(std::move(position)), objectives(std::move(objectives)) {}

  std::vector<double> position;
  std::vector<double> objectives;
  std::vector<double> constraint_values;
  double violation = 0.0;
};

using Front = std::vector<std::size_t>;

// a dominates b over the first min(|a|, |b|) objectives: no value of a greater, at least
// one smaller. NaN compares as a tie; with no common objective neither dominates.
bool dominates(std::span<const double> a, std::span<const double> b);

// The fronts in rank order. The first front is in index order, later fronts in the order
// their members were released. A point caught in a dominance cycle (possible only with NaN
// values or vectors of different lengths) is in no front.
std::vector<Front> non_dominated_sort(std::span<const ParetoPoint> population);
// The same over objective vectors.
std::vector<Front> non_dominated_sort(std::span<const std::vector<double>> values);

// The fronts under constraint-domination (Deb et al. 2002), given each member's violation
// (0.0: feasible): the fronts of the feasible members (non_dominated_sort of their values, in
// its orders), then the infeasible members by rising violation, those of equal violation
// forming one front in index order (neither constraint-dominates the other). A failed member
// (violation +inf) is in the last front.
std::vector<Front> constrained_sort(std::span<const std::vector<double>> values, std::span<const double> violations);
// The same over evaluated candidates (their objectives and violations).
std::vector<Front> constrained_sort(std::span<const ParetoPoint> population);

// (index, distance) for every front member, in front order. The objective count is that of
// the front's first member. A member with fewer objectives takes no part in the passes over
// the objectives it lacks: those passes sort, bound and measure only the members that have
// the objective, so a short member is ranked by the objectives it has (and one that has
// none of them keeps 0.0).
std::vector<std::pair<std::size_t, double>> crowding_distance(std::span<const ParetoPoint> population,
                                                              std::span<const std::size_t> front);

// The front's members ordered by crowding distance, largest first; equal distances keep
// front order.
std::vector<std::pair<std::size_t, double>> by_crowding(std::span<const ParetoPoint> population,
                                                        std::span<const std::size_t> front);

// At most `archive_size` points: whole fronts in rank order, then the least crowded members
// of the first front that does not fit.
std::vector<ParetoPoint> archive_from_population(std::vector<ParetoPoint> population, std::size_t archive_size);

// One member kept by select_survivors: its index in the population, its rank (0: first
// front) and its crowding distance within its whole front.
struct Survivor {
  std::size_t index;
  std::size_t rank;
  double crowding;
};

// The elitist survival of NSGA-II: at most n members, whole fronts in rank order (each in
// front order) while they fit, then the members of the first front that does not, largest
// crowding distance first (equal distances in front order). Members in no front are left out.
std::vector<Survivor> select_survivors(std::span<const ParetoPoint> population, std::size_t n);
// The same over a ranking given as fronts (constrained_sort's).
std::vector<Survivor> select_survivors(std::span<const ParetoPoint> population, const std::vector<Front>& fronts,
                                       std::size_t n);

// The exact hypervolume dominated by the points and bounded by the reference point, in as
// many objectives as the reference has. A point with fewer objectives, or not below the
// reference in every one, adds nothing. O(k log k) for two and three objectives, O(k^2) for
// four, a sweep over exclusive volumes one dimension lower above (hypervolume.cpp). A long
// computation passes interruption points.
double hypervolume(std::span<const std::vector<double>> points, std::span<const double> reference);
// The same of rows of reference.size() values each, one after the other.
double hypervolume_rows(std::span<const double> rows, std::span<const double> reference);

// The inverted generational distance: the mean over the rows of `front` of the Euclidean
// distance to the nearest row of `points` (rows of m values each, one after the other; both
// non-empty), summed in front order. A long computation passes interruption points.
double inverted_generational_distance(std::span<const double> points, std::span<const double> front, std::size_t m);

// The values of the positions, evaluated as one group (`flat` holds them row after row).
void evaluate_rows(VectorProblem& problem, const std::vector<std::vector<double>>& rows, std::vector<double>& flat,
                   std::vector<std::vector<double>>& values);

// Evaluates the rows as one group and appends them, with their values, to `points`.
void append_evaluated(VectorProblem& problem, std::vector<std::vector<double>>&& rows, std::vector<ParetoPoint>& points);

// n positions drawn uniformly in the box, member by member, coordinate by coordinate; then the
// given points replace the first ones (every draw is made as without them).
std::vector<std::vector<double>> initialize_continuous_population(StdRng& rng, const Bounds& bounds, std::size_t n,
                                                                  const Matrix& given);

// Area dominated by the points' first two objectives and bounded by the reference point;
// points with fewer than two objectives are ignored.
double hypervolume_2d(std::span<const ParetoPoint> points, double r1, double r2);

// A stable sort that is well defined for any comparison, including ones that are not strict
// weak orders (NaN keys compare as ties with everything): insertion sort for short ranges,
// merging of sorted runs above. With a strict weak order the result is that of every stable
// sort.
template <class T, class Less>
void stable_sort_by(std::vector<T>& items, Less less) {
  constexpr std::size_t kRun = 20;
  const std::size_t n = items.size();
  auto insertion = [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin + 1; i < end; ++i) {
      T moving = std::move(items[i]);
      std::size_t j = i;
      for (; j > begin && less(moving, items[j - 1]); --j) items[j] = std::move(items[j - 1]);
      items[j] = std::move(moving);
    }
  };
  for (std::size_t begin = 0; begin < n; begin += kRun) insertion(begin, begin + kRun < n ? begin + kRun : n);
  if (n <= kRun) return;
  std::vector<T> buffer(n);
  for (std::size_t width = kRun; width < n; width *= 2) {
    for (std::size_t left = 0; left < n; left += 2 * width) {
      const std::size_t mid = left + width < n ? left + width : n;
      const std::size_t right = mid + width < n ? mid + width : n;
      std::size_t i = left, j = mid, k = left;
      // Take from the right run only when it is strictly before the left one.
      while (i < mid && j < right) buffer[k++] = less(items[j], items[i]) ? std::move(items[j++]) : std::move(items[i++]);
      while (i < mid) buffer[k++] = std::move(items[i++]);
      while (j < right) buffer[k++] = std::move(items[j++]);
    }
    items.swap(buffer);
  }
}

}  // namespace swarmix
