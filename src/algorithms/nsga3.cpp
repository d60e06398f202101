#include "algorithms/nsga3.hpp"

#include <cmath>
#include <limits>
#include <numeric>
#include <string>
#include <utility>

#include "core/interrupt.hpp"
#include "core/numeric.hpp"

namespace swarmix {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// C(n, k), or bad_alloc when it does not fit a size (no lattice that large fits in memory).
std::size_t binomial(std::size_t n, std::size_t k) {
  if (k > n - k) k = n - k;
  std::size_t c = 1;
  for (std::size_t i = 1; i <= k; ++i) {
    // c * (n - k + i) / i is a whole number at every step.
    const std::size_t factor = n - k + i;
    const std::size_t g = std::gcd(c, i);
    c = checked_mul(c / g, factor / (i / g));
  }
  return c;
}

bool all_finite(std::span<const double> values) {
  for (double v : values)
    if (!std::isfinite(v)) return false;
  return true;
}

}  // namespace

Matrix simplex_lattice(std::size_t m, std::size_t partitions) {
  Matrix points;
  if (m == 0 || partitions == 0) return points;
  const std::size_t count = binomial(partitions + m - 1, m - 1);
  checked_mul(checked_mul(count, m), sizeof(double));
  points.reserve(count);
  // Numerators in lexicographic order: the next composition raises the last numerator
  // before the final one that still has a remainder after it, clears those between, and
  // gives the final one what is left.
  std::vector<std::size_t> k(m, 0);
  k[m - 1] = partitions;
  const double p = static_cast<double>(partitions);
  for (;;) {
    std::vector<double> x(m);
    for (std::size_t j = 0; j < m; ++j) x[j] = static_cast<double>(k[j]) / p;
    points.push_back(std::move(x));
    if (m == 1) return points;
    std::size_t i = m - 2, sum = partitions - k[m - 1];  // sum: k[0] + ... + k[i]
    while (sum == partitions) {
      if (i == 0) return points;
      sum -= k[i];
      --i;
    }
    ++k[i];
    for (std::size_t j = i + 1; j + 1 < m; ++j) k[j] = 0;
    k[m - 1] = partitions - (sum + 1);
  }
}

Matrix layered_directions(std::size_t m, std::size_t partitions, std::size_t inner_partitions) {
  Matrix points = simplex_lattice(m, partitions);
  if (inner_partitions == 0) return points;
  Matrix inner = simplex_lattice(m, inner_partitions);
  const double shift = 0.5 / static_cast<double>(m);
  points.reserve(points.size() + inner.size());
  for (std::vector<double>& x : inner) {
    for (double& v : x) v = 0.5 * v + shift;
    points.push_back(std::move(x));
  }
  return points;
}

Matrix default_reference_directions(std::size_t m) {
  switch (m) {
    case 0: return {};
    case 1: return simplex_lattice(1, 1);
    case 2: return simplex_lattice(2, 99);
    case 3: return simplex_lattice(3, 12);
    case 4: return simplex_lattice(4, 7);
    case 5: return simplex_lattice(5, 6);
    case 6: return layered_directions(6, 4, 1);
    default: return m <= 10 ? layered_directions(m, 3, 2) : layered_directions(m, 2, 1);
  }
}

std::size_t default_population(std::size_t directions) { return (directions + 3) / 4 * 4; }

HyperplaneNormalization::HyperplaneNormalization(std::size_t m)
    : m_(m), ideal_(m, kInf), worst_(m, -kInf), nadir_(m, kInf) {}

void HyperplaneNormalization::update(std::span<const std::vector<double>> values,
                                     std::span<const std::size_t> first_front) {
  const std::size_t m = m_;
  // The worst finite value of each objective among `members` (-inf: none).
  auto worst_of = [&](auto&& members) {
    std::vector<double> w(m, -kInf);
    for (std::size_t i : members)
      for (std::size_t j = 0; j < m; ++j)
        if (std::isfinite(values[i][j])) w[j] = nan_max(w[j], values[i][j]);
    return w;
  };
  std::vector<std::size_t> everyone(values.size());
  for (std::size_t i = 0; i < everyone.size(); ++i) everyone[i] = i;
  const std::vector<double> worst_of_population = worst_of(everyone);
  for (const std::vector<double>& f : values)
    for (std::size_t j = 0; j < m; ++j)
      if (std::isfinite(f[j])) ideal_[j] = nan_min(ideal_[j], f[j]);
  for (std::size_t j = 0; j < m; ++j) worst_[j] = nan_max(worst_[j], worst_of_population[j]);

  // The extreme point of each axis, among the previous ones and the finite members; `tiny`:
  // 2e-3 of the range.
  std::vector<double> tiny(m);
  for (std::size_t j = 0; j < m; ++j) {
    const double range = nadir_[j] - ideal_[j];
    tiny[j] = 2e-3 * (range > 0.0 && std::isfinite(range) ? range : worst_of_population[j] - ideal_[j]);
  }
  // (The candidates: the previous extreme points, then the members.)
  const std::size_t previous = extremes_.size();
  auto candidate = [&](std::size_t c) -> const std::vector<double>& {
    return c < previous ? extremes_[c] : values[c - previous];
  };
  // ASF_axis(f) = max(f_axis, max over the other j of f_j / 1e-6) on the shifted values, the
  // inner maximum from the largest and second largest f_j / 1e-6.
  std::vector<std::size_t> best(m, 0);
  std::vector<double> best_asf(m, kInf), shifted(m), scaled(m);
  for (std::size_t c = 0; c < previous + values.size(); ++c) {
    const std::vector<double>& f = candidate(c);
    if (!all_finite(f)) continue;
    std::size_t top = 0;
    double first = -kInf, second = -kInf;
    for (std::size_t j = 0; j < m; ++j) {
      shifted[j] = f[j] - ideal_[j] < tiny[j] ? 0.0 : f[j] - ideal_[j];
      scaled[j] = shifted[j] / 1e-6;
      if (scaled[j] > first) {
        second = first;
        first = scaled[j];
        top = j;
      } else {
        second = nan_max(second, scaled[j]);
      }
    }
    for (std::size_t axis = 0; axis < m; ++axis) {
      const double asf = nan_max(shifted[axis], axis == top ? second : first);
      if (asf < best_asf[axis]) {
        best_asf[axis] = asf;
        best[axis] = c;
      }
    }
  }
  Matrix extremes;
  for (std::size_t axis = 0; axis < m; ++axis)
    if (best_asf[axis] < kInf) extremes.push_back(candidate(best[axis]));
  if (extremes.size() == m) extremes_ = std::move(extremes);

  // The hyperplane through the extreme points, shifted by the ideal point (values within
  // `tiny` of it as 0): its normal b solves E b = 1 (Gaussian elimination with partial
  // pivoting), and the intercepts are 1 / b.
  fell_back_ = true;
  if (extremes_.size() == m && all_finite(ideal_)) {
    std::vector<double> a(m * m), b(m, 1.0);
    for (std::size_t r = 0; r < m; ++r)
      for (std::size_t j = 0; j < m; ++j) {
        const double shifted = extremes_[r][j] - ideal_[j];
        a[r * m + j] = shifted < tiny[j] ? 0.0 : shifted;
      }
    const std::vector<double> e = a;
    bool singular = false;
    for (std::size_t col = 0; col < m && !singular; ++col) {
      std::size_t pivot = col;
      for (std::size_t r = col + 1; r < m; ++r)
        if (std::fabs(a[r * m + col]) > std::fabs(a[pivot * m + col])) pivot = r;
      if (!(a[pivot * m + col] != 0.0)) {
        singular = true;
        break;
      }
      if (pivot != col) {
        for (std::size_t j = 0; j < m; ++j) std::swap(a[col * m + j], a[pivot * m + j]);
        std::swap(b[col], b[pivot]);
      }
      for (std::size_t r = col + 1; r < m; ++r) {
        const double factor = a[r * m + col] / a[col * m + col];
        for (std::size_t j = col; j < m; ++j) a[r * m + j] = a[r * m + j] - factor * a[col * m + j];
        b[r] = b[r] - factor * b[col];
      }
    }
    if (!singular) {
      for (std::size_t r = m; r-- > 0;) {
        double sum = b[r];
        for (std::size_t j = r + 1; j < m; ++j) sum = sum - a[r * m + j] * b[j];
        b[r] = sum / a[r * m + r];
      }
      // The solution must solve the system (an ill-conditioned one may not), and each
      // intercept be finite and not vanishingly small next to the range seen.
      bool sound = true;
      for (std::size_t r = 0; r < m && sound; ++r) {
        double row = 0.0;
        for (std::size_t j = 0; j < m; ++j) row = row + e[r * m + j] * b[j];
        sound = std::fabs(row - 1.0) <= 1e-8;
      }
      std::vector<double> nadir(m);
      for (std::size_t j = 0; j < m && sound; ++j) {
        const double intercept = 1.0 / b[j];
        sound = std::isfinite(intercept) && intercept > 1e-6 * (worst_[j] - ideal_[j]);
        nadir[j] = nan_min(ideal_[j] + intercept, worst_[j]);
      }
      if (sound) {
        nadir_ = std::move(nadir);
        fell_back_ = false;
      }
    }
  }
  if (fell_back_) nadir_ = worst_of(first_front);
  for (std::size_t j = 0; j < m; ++j)
    if (!(nadir_[j] - ideal_[j] > 1e-6 * (worst_[j] - ideal_[j]))) nadir_[j] = worst_of_population[j];
}

std::vector<double> HyperplaneNormalization::normalized(std::span<const double> values) const {
  std::vector<double> out(m_);
  for (std::size_t j = 0; j < m_; ++j) {
    const double range = nadir_[j] - ideal_[j];
    out[j] = (values[j] - ideal_[j]) / (range > 0.0 ? range : 1.0);
  }
  return out;
}

Niches associate(std::span<const std::vector<double>> normalized, const Matrix& directions) {
  const std::size_t h = directions.size(), m = h ? directions[0].size() : 0;
  Niches out{std::vector<std::size_t>(normalized.size(), h), std::vector<double>(normalized.size(), kInf)};
  // The directions as unit vectors, stored by coordinate (unit[j * h + d]): the squared
  // distance of f from the line along u is |f|^2 - (u . f)^2.
  std::vector<double> unit(checked_mul(h, m));
  for (std::size_t d = 0; d < h; ++d) {
    double s = 0.0;
    for (double w : directions[d]) s = s + w * w;
    const double length = std::sqrt(s);
    for (std::size_t j = 0; j < m; ++j) unit[j * h + d] = directions[d][j] / length;
  }
  std::vector<double> dot(h);
  for (std::size_t i = 0; i < normalized.size(); ++i) {
    const std::vector<double>& f = normalized[i];
    if (f.size() != m || !all_finite(f)) continue;
    double squared = 0.0;
    for (double v : f) squared = squared + v * v;
    std::fill(dot.begin(), dot.end(), 0.0);
    for (std::size_t j = 0; j < m; ++j) {
      const double* u = &unit[j * h];
      for (std::size_t d = 0; d < h; ++d) dot[d] = dot[d] + u[d] * f[j];
    }
    double nearest = kInf;
    for (std::size_t d = 0; d < h; ++d) {
      const double gap = squared - dot[d] * dot[d];
      if (gap < nearest) {
        nearest = gap;
        out.niche[i] = d;
      }
    }
    out.distance[i] = std::sqrt(nan_max(nearest, 0.0));
  }
  return out;
}

std::vector<std::size_t> reference_point_survival(StdRng& rng, std::span<const std::vector<double>> values,
                                                  const std::vector<Front>& fronts, std::size_t n,
                                                  const Matrix& directions, HyperplaneNormalization& normalization,
                                                  std::span<const double> violations) {
  auto feasible = [&](std::size_t i) { return violations.empty() || violations[i] == 0.0; };
  std::size_t n_feasible = 0;
  for (std::size_t i = 0; i < values.size(); ++i) n_feasible += feasible(i);
  if (n_feasible == values.size()) {
    normalization.update(values, fronts.empty() ? std::span<const std::size_t>() : std::span<const std::size_t>(fronts[0]));
  } else if (n_feasible > 0) {
    // The feasible members alone, in index order, and the first front (theirs) among them.
    std::vector<std::vector<double>> kept;
    std::vector<std::size_t> position(values.size()), first;
    kept.reserve(n_feasible);
    for (std::size_t i = 0; i < values.size(); ++i) {
      if (!feasible(i)) continue;
      position[i] = kept.size();
      kept.push_back(values[i]);
    }
    for (std::size_t i : fronts[0]) first.push_back(position[i]);
    normalization.update(kept, first);
  }
  std::vector<std::size_t> survivors;
  std::size_t last = 0;  // the first front that does not fit whole
  for (; last < fronts.size() && survivors.size() + fronts[last].size() <= n; ++last)
    survivors.insert(survivors.end(), fronts[last].begin(), fronts[last].end());
  if (survivors.size() == n || last == fronts.size()) return survivors;
  if (!feasible(fronts[last][0])) {
    // Members of equal violation: the first ones, in front order.
    for (std::size_t k = 0; survivors.size() < n; ++k) survivors.push_back(fronts[last][k]);
    return survivors;
  }

  // The members kept so far and the last front, on their lines.
  const Front& candidates = fronts[last];
  const std::size_t h = directions.size();
  Matrix scaled;
  scaled.reserve(survivors.size() + candidates.size());
  for (std::size_t i : survivors) scaled.push_back(normalization.normalized(values[i]));
  for (std::size_t i : candidates) scaled.push_back(normalization.normalized(values[i]));
  const Niches niches = associate(scaled, directions);
  const std::size_t base = survivors.size();  // where the last front's entries begin
  std::vector<std::size_t> count(h + 1, 0);
  for (std::size_t s = 0; s < base; ++s) ++count[niches.niche[s]];
  // Each direction's last-front members (positions in `candidates`), in front order.
  std::vector<std::vector<std::size_t>> members(h + 1);
  for (std::size_t c = 0; c < candidates.size(); ++c) members[niches.niche[base + c]].push_back(c);
  std::vector<std::size_t> open;  // the directions that still have members
  for (std::size_t d = 0; d < h; ++d)
    if (!members[d].empty()) open.push_back(d);
  std::vector<std::size_t> fewest;
  while (survivors.size() < n && !open.empty()) {
    std::size_t least = count[open[0]];
    for (std::size_t d : open) least = count[d] < least ? count[d] : least;
    fewest.clear();
    for (std::size_t k = 0; k < open.size(); ++k)
      if (count[open[k]] == least) fewest.push_back(k);
    const std::size_t slot = fewest.size() > 1 ? fewest[rng.index(fewest.size())] : fewest[0];
    const std::size_t d = open[slot];
    std::vector<std::size_t>& list = members[d];
    std::size_t pick = 0;
    if (count[d] == 0) {
      for (std::size_t k = 1; k < list.size(); ++k)
        if (niches.distance[base + list[k]] < niches.distance[base + list[pick]]) pick = k;
    } else if (list.size() > 1) {
      pick = rng.index(list.size());
    }
    const std::size_t chosen = list[pick];
    list.erase(list.begin() + static_cast<std::ptrdiff_t>(pick));
    ++count[d];
    if (list.empty()) open.erase(open.begin() + static_cast<std::ptrdiff_t>(slot));
    survivors.push_back(candidates[chosen]);
  }
  for (std::size_t c : members[h]) {
    if (survivors.size() == n) break;
    survivors.push_back(candidates[c]);
  }
  return survivors;
}

Status Nsga3::fit(VectorProblem& problem) {
  population.clear();
  population_values.clear();
  front.clear();
  history.clear();
  directions.clear();
  const std::size_t dims = bounds.size();
  const std::size_t m = n_objectives;
  if (dims == 0) return OptimizationError::invalid_input("bounds must not be empty");
  if (m == 0) return OptimizationError::invalid_input("the objective must return at least one value");
  if (reference_directions) {
    const Matrix& given = *reference_directions;
    if (given.size() < 2) return OptimizationError::invalid_input("reference_directions must hold at least 2 directions");
    for (const std::vector<double>& w : given) {
      if (w.size() != m)
        return OptimizationError::invalid_input("reference_directions must have " + std::to_string(m) +
                                                " values each, one per objective, not " + std::to_string(w.size()));
      double sum = 0.0;
      bool non_negative = true;
      for (double v : w) {
        non_negative = non_negative && v >= 0.0;
        sum = sum + v;
      }
      if (!non_negative || !(std::fabs(sum - 1.0) <= 1e-9))
        return OptimizationError::invalid_input("reference_directions must be non-negative and sum to 1");
    }
    directions = given;
  } else {
    directions = default_reference_directions(m);
  }
  const std::size_t N = n_individuals ? *n_individuals : default_population(directions.size());
  if (N < directions.size())
    return OptimizationError::invalid_input("n_individuals must be at least the number of reference directions (" +
                                            std::to_string(directions.size()) + ")");
  if (initial.size() > N)
    return OptimizationError::invalid_input("initial has " + std::to_string(initial.size()) + " points; Nsga3 holds " +
                                            std::to_string(N) + " (from the reference directions)");
  if (!(crossover_eta >= 0.0)) return OptimizationError::invalid_input("crossover_eta must be at least 0");
  if (!(mutation_eta >= 0.0)) return OptimizationError::invalid_input("mutation_eta must be at least 0");
  if (!integer.empty() && integer.size() != dims) throw InternalError("an integer mask of another length");
  StdRng rng = StdRng::from_seed(random_state);
  const double pm = mutation_rate ? *mutation_rate : 1.0 / static_cast<double>(dims);
  const Variation variation{crossover_rate, crossover_eta, pm, mutation_eta, integer_indices(integer)};

  // The values survival compares: m per member, +inf where one is missing or NaN; in a
  // constrained fit the members' violations (none: all feasible) and their ranking.
  Matrix values;
  std::vector<double> violations;
  const bool constrained = constraints.any();
  auto compare = [&](const std::vector<ParetoPoint>& members) {
    values.resize(members.size());
    violations.resize(constrained ? members.size() : 0);
    for (std::size_t i = 0; i < members.size(); ++i) {
      const std::vector<double>& f = members[i].objectives;
      values[i].assign(m, kInf);
      for (std::size_t j = 0; j < m && j < f.size(); ++j)
        if (!std::isnan(f[j])) values[i][j] = f[j];
      if (constrained) violations[i] = members[i].violation;
    }
    const std::span<const std::vector<double>> rows(values);
    return constrained ? constrained_sort(rows, violations) : non_dominated_sort(rows);
  };

  // The start is one group, then each generation's offspring.
  std::vector<ParetoPoint> points = start_points(problem, rng, bounds, N, initial, variation, constraints);
  HyperplaneNormalization normalization(m);
  std::vector<double> children;
  const std::size_t T = n_iterations;
  const double no_best = std::numeric_limits<double>::quiet_NaN();
  bool stop = iteration_done(0, T, no_best);
  for (std::size_t generation = 0; generation < T && !stop; ++generation) {
    interruption_point();
    const std::size_t n = points.size();
    // Random parents: pairs read from shuffled copies of the population, so every member mates
    // equally often; in a constrained fit each parent the winner of such a pair.
    ShuffledPairs pairs(n);
    auto winner = [&]() {
      const auto [a, b] = pairs.draw(rng);
      return points[b].violation < points[a].violation ? b : a;
    };
    auto parents = [&]() -> std::pair<const double*, const double*> {
      if (n == 1) return {points[0].position.data(), points[0].position.data()};
      if (constrained) {
        const std::size_t a = winner();
        return {points[a].position.data(), points[winner()].position.data()};
      }
      const auto [a, b] = pairs.draw(rng);
      return {points[a].position.data(), points[b].position.data()};
    };
    make_offspring(rng, bounds, variation, points, N, parents, children);

    // Parents first, then the offspring in the order they were made.
    std::vector<ParetoPoint> merged = std::move(points);
    append_offspring(problem, children, dims, constraints, merged);
    const std::vector<Front> fronts = compare(merged);
    const std::vector<std::size_t> survivors =
        reference_point_survival(rng, values, fronts, N, directions, normalization, violations);
    std::vector<unsigned char> first(merged.size(), 0);
    for (std::size_t i : fronts[0]) first[i] = 1;
    std::size_t first_front = 0;
    points.clear();
    points.reserve(survivors.size());
    for (std::size_t i : survivors) {
      first_front += first[i];
      points.push_back(std::move(merged[i]));
    }
    history.push_back(static_cast<double>(first_front));
    stop = iteration_done(generation + 1, T, no_best);
  }

  const std::vector<Front> fronts = compare(points);
  std::vector<unsigned char> first(points.size(), 0);
  if (!fronts.empty())
    for (std::size_t i : fronts[0]) first[i] = 1;
  population.reserve(points.size());
  population_values.reserve(points.size());
  for (std::size_t i = 0; i < points.size(); ++i) {
    if (first[i]) front.push_back(points[i]);
    population.push_back(std::move(points[i].position));
    population_values.push_back(std::move(points[i].objectives));
  }
  return std::nullopt;
}

}  // namespace swarmix
