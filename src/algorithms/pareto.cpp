#include "algorithms/pareto.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

#include "core/error.hpp"
#include "core/interrupt.hpp"
#include "core/numeric.hpp"

namespace swarmix {

bool dominates(std::span<const double> a, std::span<const double> b) {
  const std::size_t n = a.size() < b.size() ? a.size() : b.size();
  bool better = false;
  for (std::size_t i = 0; i < n; ++i) {
    if (a[i] > b[i]) return false;
    if (a[i] < b[i]) better = true;
  }
  return better;
}

namespace {

// Lists, for each member, the members it dominates (in ascending order: the pairs are visited
// with the smaller index first, both ascending, or read from bit sets), and counts each
// member's dominators. A dominates b when it is better somewhere and worse nowhere over their
// common objectives (NaN is a tie).
template <class Objectives>
void mark_dominance(std::size_t n, const Objectives& objectives, std::vector<std::vector<std::size_t>>& beaten,
                    std::vector<std::size_t>& counter) {
  auto mark = [&](std::size_t p, std::size_t q, bool p_better, bool q_better) {
    if (p_better == q_better) return;
    if (p_better) {
      beaten[p].push_back(q);
      ++counter[q];
    } else {
      beaten[q].push_back(p);
      ++counter[p];
    }
  };
  const std::size_t m = objectives(0).size();
  bool flat = m > 0;  // one length, no NaN
  for (std::size_t p = 0; p < n && flat; ++p) {
    flat = objectives(p).size() == m;
    for (std::size_t i = 0; i < m && flat; ++i) flat = !std::isnan(objectives(p)[i]);
  }
  if (flat) {
    // Bit sets: covered[p] holds the members q that are nowhere better than p (q_j >= p_j for
    // every j, p itself included), the intersection over the objectives of the members at or
    // after p in that objective's order. p dominates q when q is in covered[p] and p is not in
    // covered[q] (the two are not equal).
    const std::size_t words = (n + 63) / 64;
    std::vector<std::uint64_t> covered(checked_mul(n, words), ~std::uint64_t{0}), after(words);
    std::vector<std::pair<double, std::size_t>> order(n);  // (value, member)
    for (std::size_t j = 0; j < m; ++j) {
      for (std::size_t i = 0; i < n; ++i) order[i] = {objectives(i)[j], i};
      std::sort(order.begin(), order.end());
      std::fill(after.begin(), after.end(), 0);
      // From the largest value down, a group of equal values at a time.
      for (std::size_t end = n; end > 0;) {
        std::size_t begin = end - 1;
        while (begin > 0 && order[begin - 1].first == order[end - 1].first) --begin;
        for (std::size_t r = begin; r < end; ++r) after[order[r].second / 64] |= std::uint64_t{1} << (order[r].second % 64);
        for (std::size_t r = begin; r < end; ++r) {
          std::uint64_t* row = &covered[order[r].second * words];
          for (std::size_t w = 0; w < words; ++w) row[w] &= after[w];
        }
        end = begin;
      }
    }
    auto in = [&](std::size_t p, std::size_t q) { return (covered[p * words + q / 64] >> (q % 64)) & 1u; };
    for (std::size_t p = 0; p < n; ++p) {
      for (std::size_t w = 0; w < words; ++w) {
        for (std::uint64_t bits = covered[p * words + w]; bits != 0; bits &= bits - 1) {
          const std::size_t q = w * 64 + static_cast<std::size_t>(std::countr_zero(bits));
          if (q != p && !in(q, p)) {
            beaten[p].push_back(q);
            ++counter[q];
          }
        }
      }
    }
    return;
  }
  for (std::size_t p = 0; p < n; ++p) {
    const auto& a = objectives(p);
    for (std::size_t q = p + 1; q < n; ++q) {
      const auto& b = objectives(q);
      const std::size_t common = a.size() < b.size() ? a.size() : b.size();
      bool a_better = false, b_better = false;
      for (std::size_t i = 0; i < common; ++i) {
        a_better |= a[i] < b[i];
        b_better |= b[i] < a[i];
      }
      mark(p, q, a_better, b_better);
    }
  }
}

template <class Objectives>
std::vector<Front> sort_fronts(std::size_t n, const Objectives& objectives) {
  std::vector<Front> fronts;
  if (n == 0) return fronts;
  std::vector<std::size_t> counter(n, 0);
  std::vector<std::vector<std::size_t>> beaten(n);
  mark_dominance(n, objectives, beaten, counter);
  Front current;
  for (std::size_t p = 0; p < n; ++p)
    if (counter[p] == 0) current.push_back(p);
  // A front is released member by member, each releasing the members it dominates in
  // ascending order.
  while (!current.empty()) {
    Front next;
    for (std::size_t p : current)
      for (std::size_t q : beaten[p])
        if (--counter[q] == 0) next.push_back(q);
    fronts.push_back(std::move(current));
    current = std::move(next);
  }
  return fronts;
}

}  // namespace

std::vector<Front> non_dominated_sort(std::span<const ParetoPoint> population) {
  return sort_fronts(population.size(), [&](std::size_t i) -> const std::vector<double>& {
    return population[i].objectives;
  });
}

std::vector<Front> non_dominated_sort(std::span<const std::vector<double>> values) {
  return sort_fronts(values.size(), [&](std::size_t i) -> const std::vector<double>& { return values[i]; });
}

namespace {

template <class Objectives>
std::vector<Front> sort_constrained(std::size_t n, const Objectives& objectives, std::span<const double> violations) {
  std::vector<std::size_t> feasible, infeasible;
  for (std::size_t i = 0; i < n; ++i) (violations[i] == 0.0 ? feasible : infeasible).push_back(i);
  std::vector<Front> fronts =
      sort_fronts(feasible.size(), [&](std::size_t k) -> const std::vector<double>& { return objectives(feasible[k]); });
  for (Front& front : fronts)
    for (std::size_t& k : front) k = feasible[k];
  stable_sort_by(infeasible, [&](std::size_t a, std::size_t b) { return violations[a] < violations[b]; });
  for (std::size_t k = 0; k < infeasible.size(); ++k) {
    if (k == 0 || violations[infeasible[k]] != violations[infeasible[k - 1]]) fronts.emplace_back();
    fronts.back().push_back(infeasible[k]);
  }
  return fronts;
}

}  // namespace

std::vector<Front> constrained_sort(std::span<const std::vector<double>> values, std::span<const double> violations) {
  if (violations.size() != values.size()) throw InternalError("a violation per member");
  return sort_constrained(values.size(), [&](std::size_t i) -> const std::vector<double>& { return values[i]; },
                          violations);
}

std::vector<Front> constrained_sort(std::span<const ParetoPoint> population) {
  std::vector<double> violations(population.size());
  for (std::size_t i = 0; i < population.size(); ++i) violations[i] = population[i].violation;
  return sort_constrained(population.size(),
                          [&](std::size_t i) -> const std::vector<double>& { return population[i].objectives; },
                          violations);
}


std::vector<std::pair<std::size_t, double>> crowding_distance(std::span<const ParetoPoint> population,
                                                              std::span<const std::size_t> front) {
  constexpr double inf = std::numeric_limits<double>::infinity();
  const std::size_t k = front.size();
  std::vector<std::pair<std::size_t, double>> result;
  for (std::size_t index : front)
    if (index >= population.size()) throw InternalError("front index out of range");
  if (k == 0) return result;
  if (k == 1) {
    result.emplace_back(front[0], inf);
    return result;
  }
  // A distance belongs to the first occurrence of its index in the front.
  std::vector<std::size_t> slot(k);
  {
    std::vector<std::pair<std::size_t, std::size_t>> by_index(k);
    for (std::size_t p = 0; p < k; ++p) by_index[p] = {front[p], p};
    std::sort(by_index.begin(), by_index.end());
    for (std::size_t r = 0; r < k; ++r)
      slot[by_index[r].second] = (r > 0 && by_index[r].first == by_index[r - 1].first) ? slot[by_index[r - 1].second]
                                                                                       : by_index[r].second;
  }
  const std::size_t m = population[front[0]].objectives.size();
  std::vector<double> distance(k, 0.0);
  std::vector<std::size_t> order;  // front positions in objective order
  order.reserve(k);
  for (std::size_t j = 0; j < m; ++j) {
    auto value = [&](std::size_t p) { return population[front[p]].objectives[j]; };
    order.clear();
    for (std::size_t p = 0; p < k; ++p)
      if (population[front[p]].objectives.size() > j) order.push_back(p);
    if (order.empty()) continue;
    stable_sort_by(order, [&](std::size_t a, std::size_t b) { return value(a) < value(b); });
    const double range = value(order.back()) - value(order.front());
    const double divisor = nan_max(range, 1e-12);
    distance[slot[order.front()]] = inf;
    distance[slot[order.back()]] = inf;
    for (std::size_t i = 1; i + 1 < order.size(); ++i) {
      double& d = distance[slot[order[i]]];
      if (std::isfinite(d)) d += std::fabs((value(order[i + 1]) - value(order[i - 1])) / divisor);
    }
  }
  result.reserve(k);
  for (std::size_t p = 0; p < k; ++p) result.emplace_back(front[p], distance[p]);
  return result;
}

std::vector<std::pair<std::size_t, double>> by_crowding(std::span<const ParetoPoint> population,
                                                        std::span<const std::size_t> front) {
  auto ranked = crowding_distance(population, front);
  stable_sort_by(ranked, [](const auto& a, const auto& b) { return a.second > b.second; });
  return ranked;
}

std::vector<ParetoPoint> archive_from_population(std::vector<ParetoPoint> population, std::size_t archive_size) {
  // Every point is kept at most once, so members can be moved out as they are taken.
  std::vector<ParetoPoint> archive;
  const std::vector<Survivor> kept = select_survivors(population, archive_size);
  archive.reserve(kept.size());
  for (const Survivor& s : kept) archive.push_back(std::move(population[s.index]));
  return archive;
}

void evaluate_rows(VectorProblem& problem, const std::vector<std::vector<double>>& rows, std::vector<double>& flat,
                   std::vector<std::vector<double>>& values) {
  flat.clear();
  for (const auto& x : rows) flat.insert(flat.end(), x.begin(), x.end());
  values.resize(rows.size());
  problem.evaluate_group(flat, values);
}

void append_evaluated(VectorProblem& problem, std::vector<std::vector<double>>&& rows, std::vector<ParetoPoint>& points) {
  std::vector<double> flat;
  std::vector<std::vector<double>> values;
  evaluate_rows(problem, rows, flat, values);
  points.reserve(points.size() + rows.size());
  for (std::size_t i = 0; i < rows.size(); ++i) points.push_back({std::move(rows[i]), std::move(values[i])});
  rows.clear();
}

std::vector<std::vector<double>> initialize_continuous_population(StdRng& rng, const Bounds& bounds, std::size_t n,
                                                                  const Matrix& given) {
  const auto& lower = bounds.lower();
  const auto& upper = bounds.upper();
  const std::size_t dims = lower.size();
  checked_mul(checked_mul(n, dims), sizeof(double));
  std::vector<std::vector<double>> positions;
  positions.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    std::vector<double> x(dims);
    for (std::size_t d = 0; d < dims; ++d) x[d] = rng.u01() * (upper[d] - lower[d]) + lower[d];
    positions.push_back(std::move(x));
  }
  if (given.size() > n) throw InternalError("more given points than the population holds");
  for (std::size_t k = 0; k < given.size(); ++k) {
    if (given[k].size() != dims) throw InternalError("a given point does not fit the population");
    positions[k] = given[k];
  }
  return positions;
}

double hypervolume_2d(std::span<const ParetoPoint> points, double r1, double r2) {
  std::vector<std::pair<double, double>> pairs;
  for (const ParetoPoint& p : points)
    if (p.objectives.size() >= 2) pairs.emplace_back(p.objectives[0], p.objectives[1]);
  stable_sort_by(pairs, [](const auto& a, const auto& b) { return a.first < b.first; });
  double level = r2;
  double sum = 0.0;
  for (const auto& [f1, f2] : pairs) {
    if (level > f2) {
      sum = sum + nan_max(r1 - f1, 0.0) * nan_max(level - f2, 0.0);
      level = f2;
    }
  }
  return sum;
}

double inverted_generational_distance(std::span<const double> points, std::span<const double> front, std::size_t m) {
  const std::size_t k = points.size() / m, r = front.size() / m;
  double sum = 0.0;
  for (std::size_t i = 0; i < r; ++i) {
    if (i % 64 == 0) interruption_point();
    const double* f = &front[i * m];
    double nearest = std::numeric_limits<double>::infinity();
    for (std::size_t p = 0; p < k; ++p) {
      const double* x = &points[p * m];
      double squared = 0.0;
      for (std::size_t j = 0; j < m; ++j) {
        const double d = x[j] - f[j];
        squared = squared + d * d;
      }
      nearest = nan_min(nearest, squared);
    }
    sum = sum + std::sqrt(nearest);
  }
  return sum / static_cast<double>(r);
}

std::vector<Survivor> select_survivors(std::span<const ParetoPoint> population, std::size_t n) {
  return select_survivors(population, non_dominated_sort(population), n);
}

std::vector<Survivor> select_survivors(std::span<const ParetoPoint> population, const std::vector<Front>& fronts,
                                       std::size_t n) {
  std::vector<Survivor> kept;
  for (std::size_t r = 0; r < fronts.size() && kept.size() < n; ++r) {
    const bool whole = kept.size() + fronts[r].size() <= n;
    const auto ranked = whole ? crowding_distance(population, fronts[r]) : by_crowding(population, fronts[r]);
    for (const auto& [index, distance] : ranked) {
      if (kept.size() >= n) break;
      kept.push_back({index, r, distance});
    }
  }
  return kept;
}

}  // namespace swarmix
