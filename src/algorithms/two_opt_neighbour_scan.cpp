// The neighbour-list scan and its proof: two_opt on a matrix exactly symmetric and finite on
// the tour's cities, with a tour that repeats no city, reading a TwoOptIndex.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "algorithms/two_opt_scans.hpp"
#include "core/interrupt.hpp"
#include "core/numeric.hpp"

namespace swarmix {

// ------------------------------------------------------------------------------------------
// The neighbour-list scan, for a matrix that is exactly symmetric and finite on the tour's
// cities and a tour that repeats no city. It takes the literal scan's moves, in the same
// order, and returns the same tour and length.
//
// For the candidate (i, j) let a = t[i-1], b = t[i], c = t[j-1], e = t[j mod m]. Reversing
// [i, j) removes the edges o1 = d(a, b) and o2 = d(c, e), adds n1 = d(a, c) and n2 = d(b, e),
// and runs the edges between backwards, which keeps their lengths. So the exact change is
// delta = (n1 + n2) - (o1 + o2): it depends on (a, b, c, e) alone.
//
// 1. Deciding a candidate. With AR = AE and AQ = 0, the bound of FastScan reads
//    E <= (3m + 20)u (3AE + 2N + 2O), and AE (the sum of |edge| over the tour) is at most
//    A = the sum over the cities of the largest |d| in their row, as each edge starts at its
//    own city. A depends on the set of cities only, so the test
//      D >= 2(3s + 20)u (3A + 2N + 2O) - 0.999e-12     (s >= m the number of cities)
//    proves the rejection for every tour of these cities: the verdict belongs to the
//    quadruple. A candidate the test does not reject is measured in full, in the literal
//    scan's order of additions; that verdict depends on the whole tour and holds for the
//    current one only.
//    Exact case: when every entry is an integer and s max|d| <= 2^52, every partial sum of
//    every tour is an integer of magnitude below 2^52, hence exact. B and C are the exact
//    lengths and D = delta; as fl(C + 1e-12) lies in [C, C + 1) for an integer C, the literal
//    scan accepts exactly when delta < 0. The new length B + D is then exact, and nothing is
//    measured in full.
//
// 2. Which candidates can pass. Let H = 2(3s + 20)u (3A + 8 max|d|): as N + O <= 4 max|d|,
//    every candidate's bound is at most H up to a few rounding errors, and H >= 512u max|d|
//    (H = 0 in the exact case). A candidate that passes the test of 1 has D below its bound,
//    and |D - delta| <= 3u(N + O) < 0.03 H, so delta < 1.1 H (exact: delta < 0). Unless n1
//    or n2 is below o1 + 0.55 H, n1 + n2 < o1 + o2 + 1.1 H then leaves both n1 and n2 below
//    o2 + 0.55 H (exact: n1 or n2 below o1, or both below o2). So c or e lies within
//    o1 + 0.55 H of a or b, or a lies within o2 + 0.55 H of c (o1 is a tour edge of a and
//    b, o2 one of c and e). Every city x has a reach R(x), the longer of its two tour edges,
//    and a ball: the cities y with d(x, y) < fl(R(x) + H) (strictly below R(x) when exact).
//    fl(r + H) exceeds r + 0.99 H for |r| <= max|d|, as its rounding error is at most
//    u(max|d| + H) < 0.01 H. The ball is a prefix of x's neighbour list, unless the whole
//    list lies inside it: then x overflows and any city may be in its ball. So a candidate
//    that can pass has c in the ball of a at radius o1, e in that of b at radius o1, or a in
//    the ball of c.
//    A row gathers its candidates from the list of a (c within o1 of a), the list of b (e
//    within o1 of b), the cities whose balls hold a (as c), kept as an inverted bitset, and
//    the overflowing cities within their reach of a (as c). When a or b overflows at radius
//    o1, or the gathered candidates are many, the row tests every j instead. A candidate not
//    gathered fails the acceptance test, so deciding the gathered ones that pass the test of
//    1 in ascending j finds the first accepted j of the row.
//
// 3. Rows known clean. A row is clean when each of its candidates failed the test of 1 or
//    lies outside the balls; both verdicts belong to the quadruple, so the row has no
//    accepted move until one of its quadruples changes. A row whose only other candidates
//    (a few: TwoOptIndex::kNotes) were rejected after a full measure is clean but for those:
//    at every restart they alone are decided again, in ascending j. A move reversing [i*, j*)
//    changes the contents of positions i* .. j*-1 only. Rows i* .. j* get a new a or b and
//    are examined again; rows beyond j* see nothing new. A row r < i* keeps a and b: its
//    candidates i* and j* are new edges, and those strictly between are its edges of before
//    turned round, (c, e) having become (e, c).
//
// 4. Edges turned round. Turned round, candidate j has n1 = d(a, e) and n2 = d(b, c); the
//    argument of 2 holds with the roles of c and e exchanged (e within o1 of a, c within o1
//    of b, or a in the ball of e), so the cities a row gathers cover this case too, those
//    found from a taken as e and those from b as c. A row found clean also notes its
//    candidates that may pass turned round (the test of 1), up to TwoOptIndex::kNotes; a row
//    with more keeps none. While the row stays clean its noted edges keep their places,
//    since a move that turns one round makes the row dirty. After a move, a clean row
//    r < i* becomes dirty when it noted a candidate strictly between i* and j* (or keeps one
//    to re-measure from i* to j*), drops the notes at i* and j* (those edges are gone), and
//    tests the new edges at i* and j* both ways, noting them when they pass turned round; a
//    row without notes tests every candidate from i* to j*.
//    The scan restarts at row 1 and skips the clean rows: it decides every candidate the
//    literal scan could accept, in the same order, and takes the same move.
class NeighbourScan {
 public:
  NeighbourScan(const TwoOptIndex& index, std::span<const std::size_t> tour)
      : ix_(index),
        m_(tour.size()),
        s_(index.size_),
        list_(index.list_),
        words_((index.size_ + 63) / 64),
        rows_(index.rows_.data()),
        near_(index.near_.data()),
        exact_(index.exact_),
        t_(m_),
        pos_(s_, kNone),
        edge_(m_),
        prefix_(m_ + 1, 0.0),
        reach_(s_, 0.0),
        inside_(s_, 0),
        holders_(s_, 0),
        held_by_(checked_mul(s_, words_), 0),
        over_at_(s_, kNone),
        state_(m_ + 1, kDirty),
        notes_per_row_(index.notes_),
        noted_(m_ + 1, 0),
        notes_(checked_mul(m_ + 1, notes_per_row_)),
        remeasured_(m_ + 1, 0),
        again_(checked_mul(m_ + 1, notes_per_row_)) {
    for (std::size_t k = 0; k < m_; ++k) {
      t_[k] = static_cast<std::uint32_t>(index.local_[tour[k]]);
      pos_[t_[k]] = static_cast<std::uint32_t>(k);
    }
    best_ = 0.0;  // tour_length's additions, in its order
    for (std::size_t k = 0; k < m_; ++k) {
      edge_[k] = dist(t_[k], at(k + 1));
      best_ += edge_[k];
    }
    for (std::size_t k = 0; k < m_; ++k) set_reach(t_[k]);
    near_c_.reserve(m_);
    near_e_.reserve(m_);
    passing_.reserve(2 * m_);
  }

  TwoOptResult run() {
    for (bool taken = true; taken;) {
      interruption_point();  // one scan can be long, and evaluates nothing in Python
      taken = false;
      for (std::size_t i = 1; i + 3 <= m_ && !taken; ++i) {
        if (state_[i] == kClean) continue;
        taken = state_[i] == kRemeasure ? decide_again(i) : examine_row(i);
      }
    }
    TwoOptResult result{std::vector<std::size_t>(m_), best_};
    for (std::size_t k = 0; k < m_; ++k) result.tour[k] = ix_.global_[t_[k]];
    return result;
  }

 private:
  static constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();
  static constexpr unsigned char kDirty = 0, kClean = 1, kRemeasure = 2;  // row states
  static constexpr unsigned char kTooMany = 255;  // noted_: more than notes_per_row_, none kept
  static constexpr std::size_t kLinear = 2;       // gather when candidates * kLinear <= span

  double dist(std::uint32_t x, std::uint32_t y) const { return rows_[x][y]; }
  const double* row_of(std::uint32_t x) const { return rows_[x]; }
  std::uint32_t at(std::size_t k) const { return t_[k == m_ ? 0 : k]; }
  double limit(double radius) const { return exact_ ? radius : radius + ix_.slack_; }
  // How many of x's listed neighbours lie strictly within `bound`.
  std::size_t inside(std::uint32_t x, double bound) const {
    const std::uint32_t* list = near_ + std::size_t{x} * list_;
    const double* row = row_of(x);
    std::size_t k = 0;
    while (k < list_ && row[list[k]] < bound) ++k;
    return k;
  }
  bool overflows(std::size_t count) const { return count == list_ && list_ + 1 < s_; }

  // The test of 1 for new edges n1, n2 and removed edges o1, o2: false when it proves the
  // rejection. `delta` receives the computed change.
  bool may_pass(double n1, double n2, double o1, double o2, double& delta) const {
    delta = (n1 + n2) - (o1 + o2);
    if (exact_) return delta < 0.0;
    const double size = ix_.base_ + 2.0 * (((std::fabs(n1) + std::fabs(n2)) + std::fabs(o1)) + std::fabs(o2));
    return delta < ix_.factor_ * size - 0.999e-12;
  }

  // x's reach after its tour edges changed; its ball, the inverted bitset and the set of
  // overflowing cities follow.
  void set_reach(std::uint32_t x) {
    const std::size_t p = pos_[x];
    reach_[x] = nan_max(edge_[p == 0 ? m_ - 1 : p - 1], edge_[p]);
    const std::size_t count = inside(x, limit(reach_[x]));
    const std::uint32_t* list = near_ + std::size_t{x} * list_;
    const std::uint64_t bit = std::uint64_t{1} << (x % 64);
    for (std::size_t r = count; r < inside_[x]; ++r) {  // left the ball
      held_by_[std::size_t{list[r]} * words_ + x / 64] &= ~bit;
      --holders_[list[r]];
    }
    for (std::size_t r = inside_[x]; r < count; ++r) {  // entered it
      held_by_[std::size_t{list[r]} * words_ + x / 64] |= bit;
      ++holders_[list[r]];
    }
    inside_[x] = static_cast<std::uint32_t>(count);
    const bool over = overflows(count);
    if (over && over_at_[x] == kNone) {
      over_at_[x] = static_cast<std::uint32_t>(over_.size());
      over_.push_back(x);
    } else if (!over && over_at_[x] != kNone) {
      const std::uint32_t last = over_.back();
      over_[over_at_[x]] = last;
      over_at_[last] = over_at_[x];
      over_.pop_back();
      over_at_[x] = kNone;
    }
  }

  template <class F>
  void for_each_holder(std::uint32_t y, F&& f) const {
    const std::uint64_t* words = held_by_.data() + std::size_t{y} * words_;
    for (std::size_t w = 0; w < words_; ++w) {
      for (std::uint64_t bits = words[w]; bits; bits &= bits - 1)
        f(static_cast<std::uint32_t>(w * 64 + static_cast<std::size_t>(std::countr_zero(bits))));
    }
  }

  // The closed length of the tour with [i, j) reversed, in tour_length's order of additions:
  // the unchanged edges before i-1 (a running sum of the current tour), n1, the reversed
  // edges, n2 and the unchanged edges from j on.
  double measure(std::size_t i, std::size_t j) {
    for (; prefix_valid_ + 1 < i; ++prefix_valid_)
      prefix_[prefix_valid_ + 1] = prefix_[prefix_valid_] + edge_[prefix_valid_];
    double total = prefix_[i - 1];
    total += dist(t_[i - 1], t_[j - 1]);
    for (std::size_t k = j - 1; k > i; --k) total += dist(t_[k], t_[k - 1]);
    total += dist(t_[i], at(j));
    for (std::size_t k = j; k < m_; ++k) total += edge_[k];
    return total;
  }

  // Decides a candidate that passed the test of 1 (`delta` its computed change) as the
  // literal scan does, and takes the move when it is accepted. A candidate rejected after
  // its full measure is kept for deciding again (`kept` counts them; beyond notes_per_row_
  // the row cannot be clean).
  bool decide(std::size_t i, std::size_t j, double delta, std::size_t& kept) {
    if (exact_) {
      take(i, j, best_ + delta);
      return true;
    }
    const double length = measure(i, j);
    if (length + kTwoOptMargin < best_) {
      take(i, j, length);
      return true;
    }
    if (kept < notes_per_row_) again_.data()[notes_per_row_ * i + kept] = static_cast<std::uint32_t>(j);
    ++kept;
    return false;
  }

  // A row that is clean but for candidates rejected after their full measure: decides them
  // again, in ascending j, against the current tour.
  bool decide_again(std::size_t i) {
    const std::uint32_t* again = again_.data() + notes_per_row_ * i;
    for (std::size_t q = 0; q < remeasured_[i]; ++q) {
      const std::size_t j = again[q];
      const double length = measure(i, j);
      if (length + kTwoOptMargin < best_) {
        take(i, j, length);
        return true;
      }
    }
    return false;
  }

  // The row's state after it was examined without an accepted move.
  bool settle(std::size_t i, std::size_t kept) {
    if (kept > notes_per_row_) {
      state_[i] = kDirty;
    } else {
      remeasured_[i] = static_cast<unsigned char>(kept);
      state_[i] = kept ? kRemeasure : kClean;
    }
    return false;
  }

  // Looks for the first accepted j of row i and takes that move (true). Otherwise the row
  // settles as clean (3), noting its candidates that may pass turned round (4).
  bool examine_row(std::size_t i) {
    const std::uint32_t a = t_[i - 1], b = t_[i];
    const double o1 = edge_[i - 1];
    const double* to_a = row_of(a);
    const double* to_b = row_of(b);
    const std::size_t near_a = inside(a, limit(o1)), near_b = inside(b, limit(o1));
    const std::size_t span = m_ - i - 1;  // candidates j = i+2 .. m
    const std::size_t many = near_a + near_b + holders_[a] + over_.size() / 16;
    std::size_t kept = 0;
    double delta;
    noted_[i] = 0;
    if (overflows(near_a) || overflows(near_b) || kLinear * many > span) {
      // Every candidate in scan order.
      const std::uint32_t* t = t_.data();
      const double* edge = edge_.data();
      for (std::size_t j = i + 2; j <= m_; ++j) {
        const std::uint32_t c = t[j - 1], e = t[j == m_ ? 0 : j];
        const double o2 = edge[j - 1];
        if (may_pass(to_a[c], to_b[e], o1, o2, delta) && decide(i, j, delta, kept)) return true;
        if (may_pass(to_a[e], to_b[c], o1, o2, delta)) note(i, j);
      }
      return settle(i, kept);
    }
    // The cities within o1 of a or whose balls hold a (c as the row stands, e turned
    // round), and those within o1 of b (e as it stands, c turned).
    near_c_.clear();
    near_e_.clear();
    const std::uint32_t* list_a = near_ + std::size_t{a} * list_;
    const std::uint32_t* list_b = near_ + std::size_t{b} * list_;
    near_c_.insert(near_c_.end(), list_a, list_a + near_a);
    near_e_.insert(near_e_.end(), list_b, list_b + near_b);
    if (holders_[a]) for_each_holder(a, [&](std::uint32_t x) { near_c_.push_back(x); });
    for (std::uint32_t x : over_)
      if (to_a[x] < limit(reach_[x])) near_c_.push_back(x);
    auto as_c = [&](std::uint32_t x) -> std::size_t {  // the candidate with x at j - 1, or 0
      const std::uint32_t p = pos_[x];
      return p != kNone && p > i ? std::size_t{p} + 1 : 0;
    };
    auto as_e = [&](std::uint32_t x) -> std::size_t {  // the candidate with x at j mod m, or 0
      const std::uint32_t p = pos_[x];
      if (p == kNone) return 0;
      const std::size_t j = p == 0 ? m_ : p;
      return j >= i + 2 ? j : 0;
    };
    auto passes = [&](std::size_t j) { return may_pass(to_a[t_[j - 1]], to_b[at(j)], o1, edge_[j - 1], delta); };
    auto passes_turned = [&](std::size_t j) { return may_pass(to_a[at(j)], to_b[t_[j - 1]], o1, edge_[j - 1], delta); };
    passing_.clear();
    for (std::uint32_t x : near_c_)
      if (const std::size_t j = as_c(x); j && passes(j)) passing_.push_back(static_cast<std::uint32_t>(j));
    for (std::uint32_t x : near_e_)
      if (const std::size_t j = as_e(x); j && passes(j)) passing_.push_back(static_cast<std::uint32_t>(j));
    std::sort(passing_.begin(), passing_.end());
    passing_.erase(std::unique(passing_.begin(), passing_.end()), passing_.end());
    for (const std::uint32_t j : passing_) {
      passes(j);
      if (decide(i, j, delta, kept)) return true;
    }
    for (std::uint32_t x : near_c_)
      if (const std::size_t j = as_e(x); j && passes_turned(j)) note(i, j);
    for (std::uint32_t x : near_e_)
      if (const std::size_t j = as_c(x); j && passes_turned(j)) note(i, j);
    return settle(i, kept);
  }

  // Row r notes candidate j (its edge may pass turned round), unless it has too many.
  void note(std::size_t r, std::size_t j) {
    if (noted_[r] == kTooMany) return;
    std::uint32_t* notes = notes_.data() + notes_per_row_ * r;
    for (std::size_t q = 0; q < noted_[r]; ++q)
      if (notes[q] == j) return;
    if (noted_[r] == notes_per_row_) {
      noted_[r] = kTooMany;
      return;
    }
    notes[noted_[r]++] = static_cast<std::uint32_t>(j);
  }

  // Reverses [i, j), updates the reaches of the four cities whose edges changed, and finds
  // the rows that may now accept a move (3, 4).
  void take(std::size_t i, std::size_t j, double length) {
    std::reverse(t_.begin() + static_cast<std::ptrdiff_t>(i), t_.begin() + static_cast<std::ptrdiff_t>(j));
    for (std::size_t k = i; k < j; ++k) pos_[t_[k]] = static_cast<std::uint32_t>(k);
    for (std::size_t k = i - 1; k < j; ++k) edge_[k] = dist(t_[k], at(k + 1));
    best_ = length;
    if (prefix_valid_ > i - 1) prefix_valid_ = i - 1;
    set_reach(t_[i - 1]);
    set_reach(t_[i]);
    set_reach(t_[j - 1]);
    set_reach(at(j));
    const std::size_t last_row = std::min(j, m_ - 3);
    for (std::size_t r = i; r <= last_row; ++r) state_[r] = kDirty;

    // Rows below i (4): noted or re-measured candidates inside the stretch, then the new
    // edges at i and j both ways, or every candidate from i to j for a row without notes.
    const double* to_ci = row_of(t_[i - 1]);  // d(a, c) = d(c, a): the matrix is symmetric
    const double* to_ei = row_of(t_[i]);
    const double* to_cj = row_of(t_[j - 1]);
    const double* to_ej = row_of(at(j));
    const double oi = edge_[i - 1], oj = edge_[j - 1];
    for (std::size_t r = 1; r < i; ++r) {
      if (state_[r] == kDirty) continue;
      const std::uint32_t* again = again_.data() + notes_per_row_ * r;
      for (std::size_t q = 0; q < remeasured_[r] && state_[r] == kRemeasure; ++q)
        if (again[q] >= i && again[q] <= j) state_[r] = kDirty;
      if (state_[r] == kDirty) continue;
      const std::uint32_t a = t_[r - 1], b = t_[r];
      const double o1 = edge_[r - 1];
      double delta;
      if (noted_[r] != kTooMany) {
        std::uint32_t* notes = notes_.data() + notes_per_row_ * r;
        std::size_t kept = 0;
        for (std::size_t q = 0; q < noted_[r]; ++q) {
          if (notes[q] > i && notes[q] < j) {
            state_[r] = kDirty;
            break;
          }
          if (notes[q] != i && notes[q] != j) notes[kept++] = notes[q];  // the edges at i and j are gone
        }
        if (state_[r] == kDirty) continue;
        noted_[r] = static_cast<unsigned char>(kept);
        if (r + 2 <= i) {
          if (may_pass(to_ci[a], to_ei[b], o1, oi, delta)) {
            state_[r] = kDirty;
            continue;
          }
          if (may_pass(to_ei[a], to_ci[b], o1, oi, delta)) note(r, i);
        }
        if (may_pass(to_cj[a], to_ej[b], o1, oj, delta)) {
          state_[r] = kDirty;
          continue;
        }
        if (may_pass(to_ej[a], to_cj[b], o1, oj, delta)) note(r, j);
        if (noted_[r] != kTooMany) continue;
      }
      // No notes (or no longer): every candidate from i to j.
      const double* to_a = row_of(a);
      const double* to_b = row_of(b);
      for (std::size_t jj = std::max(r + 2, i); jj <= j; ++jj) {
        if (may_pass(to_a[t_[jj - 1]], to_b[at(jj)], o1, edge_[jj - 1], delta)) {
          state_[r] = kDirty;
          break;
        }
      }
    }
  }

  const TwoOptIndex& ix_;
  std::size_t m_, s_, list_, words_;
  const double* const* rows_;
  const std::uint32_t* near_;
  bool exact_;
  std::vector<std::uint32_t> t_;            // the tour, local cities
  std::vector<std::uint32_t> pos_;          // city -> position, kNone when not in the tour
  std::vector<double> edge_;                // edge_[k] = d(t[k], t[k+1 mod m])
  std::vector<double> prefix_;              // prefix_[k]: the running sum of edge_[0 .. k-1]
  std::size_t prefix_valid_ = 0;            // prefix_[0 .. prefix_valid_] are current
  double best_;                             // the current length, as the literal scan has it
  std::vector<double> reach_;               // R(x)
  std::vector<std::uint32_t> inside_;       // how many of x's listed neighbours are in its ball
  std::vector<std::uint32_t> holders_;      // how many balls hold y
  std::vector<std::uint64_t> held_by_;      // s x words: bit x of row y set when y is in x's ball
  std::vector<std::uint32_t> over_;         // the overflowing cities
  std::vector<std::uint32_t> over_at_;      // city -> index in over_, or kNone
  std::vector<unsigned char> state_;        // per row: kDirty, kClean or kRemeasure
  std::size_t notes_per_row_;               // candidates a row notes (or keeps to re-measure)
  std::vector<unsigned char> noted_;        // per clean row: how many notes, or kTooMany
  std::vector<std::uint32_t> notes_;        // per row, notes_per_row_ candidates noted
  std::vector<unsigned char> remeasured_;   // per kRemeasure row: how many to decide again
  std::vector<std::uint32_t> again_;        // per row, notes_per_row_ candidates to decide again
  std::vector<std::uint32_t> near_c_, near_e_, passing_;
};

TwoOptResult neighbour_scan(const TwoOptIndex& index, std::span<const std::size_t> tour) {
  return NeighbourScan(index, tour).run();
}

}  // namespace swarmix
