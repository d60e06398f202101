// The exact hypervolume in any number of objectives.
//
// Two objectives: one sweep. Three: a sweep along the third objective over the staircase of
// the first two, each point adding the area it uncovers, O(k log k). Four: a sweep along the
// fourth objective that keeps the points seen so far as their three-dimensional
// non-dominated set, sorted by the third objective; each point adds its exclusive
// three-dimensional volume, computed in one pass over that set (the staircase of the set
// limited to the point's box, swept upward). Five and more: the same sweep along the last
// objective, where a point's exclusive volume is its box less the hypervolume of the
// non-dominated set of the earlier points limited to its box (While, Bradstreet and Barone's
// WFG, IEEE TEVC 16(1), 2012), one dimension lower; before that set is sorted out, the limited
// points that the lowest point on an edge of the box covers are dropped in one pass. The
// earlier points are kept in the order of their last coordinate, so that a limited set needs
// no sort. Every loop charges its work to a counter that reaches an interruption point about
// every million steps.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <numeric>
#include <utility>
#include <vector>

#include "algorithms/pareto.hpp"
#include "core/interrupt.hpp"
#include "core/numeric.hpp"

namespace swarmix {

namespace {

// Work between two interruption points (comparisons of coordinates, roughly).
constexpr std::uint64_t kWorkPerCheck = std::uint64_t{1} << 20;

// Rows of d values, one after the other.
struct Rows {
  std::vector<double> v;
  std::size_t d;
  std::size_t size() const { return v.size() / d; }
  const double* row(std::size_t i) const { return &v[i * d]; }
  void append(const double* x) { v.insert(v.end(), x, x + d); }
};

struct Step {
  double x, y;
};

// A two-dimensional staircase bounded by (rx, ry): x strictly rising, y strictly falling.
// insert() adds a point and returns the area it uncovers (nothing when a step covers it),
// removing the steps it covers.
struct Staircase {
  std::vector<Step> steps;

  double insert(double qx, double qy, double rx, double ry) {
    auto pos = std::lower_bound(steps.begin(), steps.end(), qx, [](const Step& s, double x) { return s.x < x; });
    if (pos != steps.begin() && std::prev(pos)->y <= qy) return 0.0;
    if (pos != steps.end() && pos->x == qx && pos->y <= qy) return 0.0;
    // The strip above qy, up to the step on the left (or the bound), gains what no step
    // covers: up to each covered step its own height above qy.
    double height = (pos != steps.begin() ? std::prev(pos)->y : ry) - qy;
    double left = qx, added = 0.0;
    auto end = pos;
    for (; end != steps.end() && end->y >= qy; ++end) {
      added = added + (end->x - left) * height;
      left = end->x;
      height = end->y - qy;
    }
    added = added + ((end != steps.end() ? end->x : rx) - left) * height;
    if (pos == end) {
      steps.insert(pos, Step{qx, qy});
    } else {
      *pos = Step{qx, qy};
      steps.erase(pos + 1, end);
    }
    return added;
  }
};

struct Point3 {
  double x, y, z;
};

// One computation: the interruption counter and the buffers of each dimension, reused by
// every call at that dimension (a dimension calls only the one below it).
class Volume {
 public:
  explicit Volume(std::size_t m) : levels_(m + 1) {}

  // Every row is below the reference in each of its d objectives; `sorted`: the rows are in
  // the order of their last objective.
  double of(const Rows& rows, const double* ref, bool sorted = false) {
    const std::size_t k = rows.size();
    if (k == 0) return 0.0;
    switch (rows.d) {
      case 1: {
        double low = ref[0];
        for (std::size_t i = 0; i < k; ++i) low = nan_min(rows.row(i)[0], low);
        return ref[0] - low;
      }
      case 2: return volume_2d(rows, ref);
      case 3: return volume_3d(rows, ref);
      case 4: return volume_4d(sorted ? rows : sorted_by(rows, 3), ref);
      default: return volume_high(sorted ? rows : sorted_by(rows, rows.d - 1), ref);
    }
  }

 private:
  struct Level {
    std::vector<std::pair<double, std::size_t>> keys;
    Rows sorted{{}, 0}, seen{{}, 0}, limited{{}, 0}, kept{{}, 0};
    std::vector<std::size_t> above, edge;
    std::vector<double> low;
  };

  void charge(std::size_t units) {
    work_ += units;
    if (work_ >= kWorkPerCheck) {
      work_ = 0;
      interruption_point();
    }
  }

  // The rows ordered by coordinate j ascending, ties by their position (one order on every
  // build), into the level's `sorted`.
  const Rows& sorted_by(const Rows& rows, std::size_t j) {
    const std::size_t k = rows.size(), d = rows.d;
    Level& level = levels_[d];
    level.keys.resize(k);
    for (std::size_t i = 0; i < k; ++i) level.keys[i] = {rows.v[i * d + j], i};
    std::sort(level.keys.begin(), level.keys.end());
    level.sorted.d = d;
    level.sorted.v.resize(rows.v.size());
    for (std::size_t i = 0; i < k; ++i)
      std::memcpy(&level.sorted.v[i * d], rows.row(level.keys[i].second), d * sizeof(double));
    charge(k);
    return level.sorted;
  }

  // Two objectives, in the order of the second objective: each point that reaches further
  // left adds a slab.
  double volume_2d(const Rows& rows, const double* ref) {
    const Rows& sorted = sorted_by(rows, 1);
    double sum = 0.0, left = ref[0];
    for (std::size_t i = 0; i < sorted.size(); ++i) {
      const double f0 = sorted.row(i)[0], f1 = sorted.row(i)[1];
      if (f0 < left) {
        sum = sum + (left - f0) * (ref[1] - f1);
        left = f0;
      }
    }
    return sum;
  }

  // Three objectives: sweep along the third.
  double volume_3d(const Rows& rows, const double* ref) {
    const Rows& sorted = sorted_by(rows, 2);
    const std::size_t k = sorted.size();
    stair_.steps.clear();
    double area = 0.0, sum = 0.0;
    for (std::size_t i = 0; i < k; ++i) {
      const double* p = sorted.row(i);
      area = area + stair_.insert(p[0], p[1], ref[0], ref[1]);
      const double next = i + 1 < k ? sorted.row(i + 1)[2] : ref[2];
      sum = sum + area * (next - p[2]);
      charge(8);
    }
    return sum;
  }

  // The volume of p's box (up to ref) that no box of the set front3_ covers, and p joins
  // the set, which drops the members p covers; nothing when a member covers p (the set is
  // unchanged). The set holds the three-dimensional non-dominated points seen so far, by
  // rising z (ties in the order they came).
  double add_to_front3(const Point3& p, const double* ref) {
    std::vector<Point3>& points = front3_;
    const std::size_t n = points.size();
    charge(n + 1);
    // Below p's z: the members on the left edge of p's box (x <= p.x) give one step, the
    // lowest; those on the bottom edge (y <= p.y) one step, the leftmost; the others are
    // inside. One of both edges covers p.
    double left_y = ref[1], bottom_x = ref[0];
    std::vector<Step>& inside = stair_.steps;
    inside.clear();
    std::size_t below = 0;
    for (; below < n && points[below].z <= p.z; ++below) {
      const Point3& a = points[below];
      if (a.x <= p.x) {
        if (a.y <= p.y) return 0.0;
        left_y = nan_min(left_y, a.y);
      } else if (a.y <= p.y) {
        bottom_x = nan_min(bottom_x, a.x);
      } else {
        inside.push_back(Step{a.x, a.y});
      }
    }
    if (left_y < ref[1]) inside.push_back(Step{p.x, left_y});
    if (bottom_x < ref[0]) inside.push_back(Step{bottom_x, p.y});
    // The staircase of those steps (by rising x, then y), and the area it covers.
    auto before = [](const Step& a, const Step& b) { return a.x < b.x || (a.x == b.x && a.y < b.y); };
    if (inside.size() > 24) {
      std::sort(inside.begin(), inside.end(), before);
    } else {
      for (std::size_t i = 1; i < inside.size(); ++i) {
        const Step moving = inside[i];
        std::size_t j = i;
        for (; j > 0 && before(moving, inside[j - 1]); --j) inside[j] = inside[j - 1];
        inside[j] = moving;
      }
    }
    std::size_t kept = 0;
    for (const Step& s : inside)
      if (kept == 0 || s.y < inside[kept - 1].y) inside[kept++] = s;
    inside.resize(kept);
    const double box = (ref[0] - p.x) * (ref[1] - p.y);
    double covered = 0.0;
    for (std::size_t i = 0; i < kept; ++i)
      covered = covered + ((i + 1 < kept ? inside[i + 1].x : ref[0]) - inside[i].x) * (ref[1] - inside[i].y);
    // Above p's z, upward: each member limited to p's box adds its step, until the box is
    // covered. The members that p covers leave the set (those above p's z, and those at it).
    double z = p.z, volume = 0.0;
    std::size_t w = below;
    for (std::size_t i = below; i < n; ++i) {
      const Point3 a = points[i];
      if (covered < box) {
        volume = volume + (box - covered) * (a.z - z);
        z = a.z;
        covered = covered + stair_.insert(nan_max(a.x, p.x), nan_max(a.y, p.y), ref[0], ref[1]);
      }
      if (!(p.x <= a.x && p.y <= a.y)) points[w++] = a;
    }
    if (covered < box) volume = volume + (box - covered) * (ref[2] - z);
    std::size_t start = below;
    while (start > 0 && points[start - 1].z == p.z) --start;
    std::size_t v = start;
    for (std::size_t i = start; i < below; ++i)
      if (!(p.x <= points[i].x && p.y <= points[i].y)) points[v++] = points[i];
    // p goes after the members below it: those above move up by one.
    points.resize(w + 1);
    std::memmove(&points[v + 1], &points[below], (w - below) * sizeof(Point3));
    points[v] = p;
    points.resize(v + 1 + (w - below));
    return volume;
  }

  // Four objectives, in the order of the fourth: sweep along it.
  double volume_4d(const Rows& sorted, const double* ref) {
    const std::size_t k = sorted.size();
    front3_.clear();
    double volume3 = 0.0, sum = 0.0;
    for (std::size_t i = 0; i < k; ++i) {
      const double* p = sorted.row(i);
      volume3 = volume3 + add_to_front3(Point3{p[0], p[1], p[2]}, ref);
      const double next = i + 1 < k ? sorted.row(i + 1)[3] : ref[3];
      sum = sum + volume3 * (next - p[3]);
    }
    return sum;
  }

  // The rows that no other row covers (of equal rows the first), in their order, into
  // `out`; the rows come in the order of their last coordinate, so only a row with an equal
  // one can cover a row kept before it.
  void non_dominated(const Rows& rows, Rows& out) {
    const std::size_t d = rows.d;
    out.d = d;
    out.v.clear();
    auto covers = [d](const double* a, const double* b) {
      std::size_t j = 0;
      while (j < d && a[j] <= b[j]) ++j;
      return j == d;
    };
    for (std::size_t i = 0; i < rows.size(); ++i) {
      const double* q = rows.row(i);
      std::size_t n = out.size();
      charge(n + 1);
      bool covered = false;
      for (std::size_t a = 0; a < n && !covered; ++a) covered = covers(out.row(a), q);
      if (covered) continue;
      // Kept rows with q's last coordinate that q covers leave.
      while (n > 0 && out.row(n - 1)[d - 1] == q[d - 1]) {
        std::size_t a = n - 1;
        while (a > 0 && out.row(a - 1)[d - 1] == q[d - 1]) --a;
        std::size_t w = a;
        for (std::size_t r = a; r < n; ++r)
          if (!covers(q, out.row(r))) std::memmove(&out.v[w++ * d], out.row(r), d * sizeof(double));
        out.v.resize(w * d);
        break;
      }
      out.append(q);
    }
  }

  // Five or more objectives, in the order of the last: sweep along it.
  double volume_high(const Rows& sorted, const double* ref) {
    const std::size_t d = sorted.d, e = d - 1;
    Level& level = levels_[d];
    const std::size_t k = sorted.size();
    // The (d-1)-dimensional non-dominated points so far, in the order of their last
    // coordinate (so that their boxes limited to another point's are too).
    Rows& seen = level.seen;
    Rows& limited = level.limited;  // their boxes limited to the current point's
    Rows& kept = level.kept;
    seen.d = limited.d = kept.d = e;
    seen.v.clear();
    double volume_below = 0.0, sum = 0.0;
    for (std::size_t i = 0; i < k; ++i) {
      const double* p = sorted.row(i);
      const std::size_t n = seen.size();
      charge(n + 1);
      // The seen points limited to p's box. One that is below p in every coordinate covers
      // p. One that is above p in a single coordinate j lies on an edge of p's box: the
      // lowest of those (edge[j], at height low[j]) covers every other limited point at or
      // above that height in j.
      limited.v.resize(n * e);
      level.above.resize(n);
      level.low.assign(ref, ref + e);
      level.edge.assign(e, n);
      bool covered = false;
      for (std::size_t a = 0; a < n && !covered; ++a) {
        const double* s = seen.row(a);
        double* l = &limited.v[a * e];
        std::size_t above = 0, last = 0;
        for (std::size_t j = 0; j < e; ++j) {
          l[j] = nan_max(s[j], p[j]);
          if (s[j] > p[j]) {
            ++above;
            last = j;
          }
        }
        level.above[a] = above == 1 ? last : e;
        if (above == 1 && s[last] < level.low[last]) {
          level.low[last] = s[last];
          level.edge[last] = a;
        }
        covered = above == 0;
      }
      if (!covered) {
        double box = 1.0;
        for (std::size_t j = 0; j < e; ++j) box = box * (ref[j] - p[j]);
        std::size_t w = 0;
        for (std::size_t a = 0; a < n; ++a) {
          const double* l = &limited.v[a * e];
          bool keep;
          if (level.above[a] < e) {
            keep = level.edge[level.above[a]] == a;
          } else {
            std::size_t j = 0;
            while (j < e && (l[j] == p[j] || l[j] < level.low[j])) ++j;
            keep = j == e;
          }
          if (keep) std::memmove(&limited.v[w++ * e], l, e * sizeof(double));
        }
        limited.v.resize(w * e);
        double exclusive = box;
        if (w > 0) {
          if (e > 4) {
            non_dominated(limited, kept);
            exclusive = box - of(kept, ref, true);
          } else {
            exclusive = box - of(limited, ref, true);
          }
        }
        volume_below = volume_below + exclusive;
        // The seen points again, less those p covers, with p in its place.
        kept.v.clear();
        bool placed = false;
        for (std::size_t a = 0; a < n; ++a) {
          const double* s = seen.row(a);
          if (!placed && p[e - 1] < s[e - 1]) {
            kept.append(p);
            placed = true;
          }
          std::size_t j = 0;
          while (j < e && p[j] <= s[j]) ++j;
          if (j < e) kept.append(s);
        }
        if (!placed) kept.append(p);
        std::swap(seen.v, kept.v);
      }
      const double next = i + 1 < k ? sorted.row(i + 1)[e] : ref[e];
      sum = sum + volume_below * (next - p[e]);
    }
    return sum;
  }

  std::uint64_t work_ = 0;
  std::vector<Level> levels_;
  Staircase stair_;
  std::vector<Point3> front3_;
};

}  // namespace

double hypervolume_rows(std::span<const double> rows, std::span<const double> reference) {
  const std::size_t m = reference.size();
  if (m == 0) return 0.0;
  Rows below{{}, m};
  for (std::size_t at = 0; at + m <= rows.size(); at += m) {
    const double* p = &rows[at];
    std::size_t j = 0;
    while (j < m && p[j] < reference[j]) ++j;
    if (j == m) below.append(p);
  }
  return Volume(m).of(below, reference.data());
}

double hypervolume(std::span<const std::vector<double>> points, std::span<const double> reference) {
  const std::size_t m = reference.size();
  std::vector<double> rows;
  for (const std::vector<double>& p : points)
    if (p.size() >= m) rows.insert(rows.end(), p.begin(), p.begin() + static_cast<std::ptrdiff_t>(m));
  return hypervolume_rows(rows, reference);
}

}  // namespace swarmix
