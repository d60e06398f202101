#pragma once
// What the multi-objective classes keep from a fit, and their score.
#include <vector>

#include "algorithms/pareto.hpp"
#include "bindings/frame.hpp"

namespace swarmix::py {

// score(reference=None) of the classes with ClassSpec::score_reference.
inline constexpr const char* kHypervolumeScoreDoc =
    "The exact hypervolume of the first front (front_values_) against `reference`, one value per objective; "
    "None: the final population's component-wise maximum plus 10% of its range (plus 1 where that range is 0). "
    "With constraints only a feasible front counts: an infeasible one (feasible_ False) scores 0.0.";

// The final positions, and the archive split into positions and objective vectors (archive
// order), with each point's constraint values in a constrained fit (out.constraints, which the
// frame has set). Replaces the previous result as a whole, an empty archive included.
inline void store_archive_result(std::vector<std::vector<double>>&& population, std::vector<ParetoPoint>&& archive,
                                 Fitted& out) {
  out.population = std::move(population);
  out.archive_positions.clear();
  out.archive_objectives.clear();
  out.archive_positions.reserve(archive.size());
  out.archive_objectives.reserve(archive.size());
  for (ParetoPoint& p : archive) {
    out.archive_positions.push_back(std::move(p.position));
    out.archive_objectives.push_back(std::move(p.objectives));
    if (out.constraints.any()) out.constraint_values.push_back(std::move(p.constraint_values));
  }
}

// What a genetic search on a box (Nsga2Sbx, Nsga3) leaves: its final population with the
// objective values, its first front and the front's size after each generation.
template <class Genetic>
void store_genetic_result(Genetic& search, Fitted& out) {
  store_archive_result(std::move(search.population), std::move(search.front), out);
  out.population_values = std::move(search.population_values);
  out.history = std::move(search.history);
}

// Hypervolume of the stored archive against (1.0, 1.0).
inline double archive_hypervolume(const Fitted& f) {
  std::vector<ParetoPoint> points;
  points.reserve(f.archive_positions.size());
  for (std::size_t i = 0; i < f.archive_positions.size() && i < f.archive_objectives.size(); ++i)
    points.push_back({f.archive_positions[i], f.archive_objectives[i]});
  return hypervolume_2d(points, 1.0, 1.0);
}

}  // namespace swarmix::py
