// The full scan: visits every candidate, rejecting most by an error-bounded edge delta.
#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "algorithms/two_opt_scans.hpp"
#include "core/interrupt.hpp"
#include "core/numeric.hpp"

namespace swarmix {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// tour_length over checked entries and row pointers (the same additions in the same order).
double closed_length(const std::size_t* t, std::size_t m, const double* const* rows) {
  double total = 0.0;
  for (std::size_t k = 0; k + 1 < m; ++k) total += rows[t[k]][t[k + 1]];
  if (m) total += rows[t[m - 1]][t[0]];
  return total;
}

// NaN or +inf: a sum holding such a term is NaN or +inf, and neither passes the acceptance
// test against any current length.
inline bool blocks(double x) { return !(x < kInf); }

// The scan of two_opt_reference, with a cheap proof of rejection in front of the full
// re-measure.
//
// Reversing positions [i, j) of tour t replaces the edges i-1 and j-1 by
// n1 = d[t[i-1]][t[j-1]] and n2 = d[t[i]][t[j % m]] and runs the edges i .. j-2 backwards,
// so the exact change of the length is
//   delta = (n1 + n2) - (e[i-1] + e[j-1]) + sum_{p=i}^{j-2} (r[p] - e[p]),
// with e[p] = d[t[p]][t[p+1]] and r[p] = d[t[p+1]][t[p]]; the sum comes from prefix sums.
//
// The literal scan rejects when fl(C + 1e-12) >= B, where B is the computed current length
// and C the computed candidate length. Rounding is monotone and B is a double, so
// C >= B - 1e-12 suffices. With S_b, S_c the exact sums, |B - S_b| <= g*AE and
// |C - S_c| <= g*(AE + AR + |n1| + |n2|) (recursive summation, g = gamma_m), and the
// computed delta D satisfies |D - delta| <= 4u*(N + O) + (3m + 20)u*AQ, where N = |n1| + |n2|,
// O = |e[i-1]| + |e[j-1]|, AE, AR, AQ the sums of |e|, |r| and |fl(r - e)| over the tour.
// Together: C - B >= D - E with
//   E <= (3m + 20)u * (2AE + AR + AQ + 2N + 2O),
// so D >= E - 1e-12 proves rejection. The test uses twice that bound (covering the rounding
// of the bound's own computation) and 0.999e-12 for the margin, and only runs when all the
// terms are finite and their magnitudes stay far from overflow. Anything else (NaN, infinite
// distances, huge values, a delta too close to the threshold) is measured in full, exactly
// as the literal scan does, unless a NaN or +inf term alone already forbids acceptance.
class FastScan {
 public:
  FastScan(std::vector<std::size_t> tour, const Matrix& d)
      : t_(std::move(tour)), m_(t_.size()), rows_(d.size()) {
    for (std::size_t a = 0; a < d.size(); ++a) rows_[a] = d[a].data();
    fwd_.resize(m_);
    prefix_q_.resize(m_ + 1);
    bad_fwd_.resize(m_ + 1);
    bad_rev_.resize(m_ + 1);
    nonfinite_.resize(m_ + 1);
    scratch_.resize(m_);
    factor_ = 2.0 * (3.0 * static_cast<double>(m_) + 20.0) * 0x1p-53;
  }

  TwoOptResult run() {
    double best_len = closed_length(t_.data(), m_, rows_.data());
    // A NaN or -inf current length can never be undercut.
    while (best_len > -kInf) {
      interruption_point();  // one scan can be long, and evaluates nothing in Python
      prepare(best_len);
      bool taken = false;
      for (std::size_t i = 1; i + 3 <= m_ && !taken; ++i) {
        const Row row(*this, i);
        for (std::size_t j = i + 2; j <= m_; ++j) {
          if (row.rejected(j)) continue;
          std::copy(t_.begin(), t_.end(), scratch_.begin());
          std::reverse(scratch_.begin() + static_cast<std::ptrdiff_t>(i),
                       scratch_.begin() + static_cast<std::ptrdiff_t>(j));
          const double cand_len = closed_length(scratch_.data(), m_, rows_.data());
          if (cand_len + kTwoOptMargin < best_len) {
            t_.swap(scratch_);
            best_len = cand_len;
            taken = true;
            break;
          }
        }
      }
      if (!taken) break;
    }
    return TwoOptResult{std::move(t_), best_len};
  }

 private:
  void prepare(double best_len) {
    double ae = 0.0, ar = 0.0, aq = 0.0;
    prefix_q_[0] = 0.0;
    bad_fwd_[0] = bad_rev_[0] = nonfinite_[0] = 0;
    for (std::size_t k = 0; k < m_; ++k) {
      const std::size_t a = t_[k], b = t_[k + 1 == m_ ? 0 : k + 1];
      const double e = rows_[a][b], r = rows_[b][a];
      fwd_[k] = e;
      const bool finite = std::isfinite(e) && std::isfinite(r);
      const double q = finite ? r - e : 0.0;
      ae += std::fabs(e);
      if (finite) {
        ar += std::fabs(r);
        aq += std::fabs(q);
      }
      prefix_q_[k + 1] = prefix_q_[k] + q;
      bad_fwd_[k + 1] = bad_fwd_[k] + blocks(e);
      bad_rev_[k + 1] = bad_rev_[k] + blocks(r);
      nonfinite_[k + 1] = nonfinite_[k] + !finite;
    }
    base_ = (ae + ae) + ar + aq;
    // A finite computed length means every forward edge is finite.
    bounded_ = std::isfinite(best_len) && base_ < 1e300 && m_ < (std::size_t{1} << 40);
  }

  // The candidates of one start position i, with what they share hoisted.
  class Row {
   public:
    Row(const FastScan& s, std::size_t i)
        : s_(s),
          row_a_(s.rows_[s.t_[i - 1]]),
          row_b_(s.rows_[s.t_[i]]),
          o1_(s.fwd_[i - 1]),
          abs_o1_(std::fabs(o1_)),
          q_i_(s.prefix_q_[i]),
          nonfinite_i_(s.nonfinite_[i]),
          bad_rev_i_(s.bad_rev_[i]),
          bad_fwd_kept_(s.bad_fwd_[s.m_] + s.bad_fwd_[i - 1]) {}

    // True only when the candidate reversing [i, j) provably fails the acceptance test.
    bool rejected(std::size_t j) const {
      const FastScan& s = s_;
      const std::size_t c = s.t_[j - 1], e = s.t_[j == s.m_ ? 0 : j];
      const double n1 = row_a_[c], n2 = row_b_[e];
      if (s.bounded_ && s.nonfinite_[j - 1] == nonfinite_i_) {
        const double o2 = s.fwd_[j - 1];
        const double delta = ((n1 + n2) - (o1_ + o2)) + (s.prefix_q_[j - 1] - q_i_);
        const double size = s.base_ + 2.0 * (((std::fabs(n1) + std::fabs(n2)) + abs_o1_) + std::fabs(o2));
        if (size < 1e300) {
          const double threshold = s.factor_ * size - 0.999e-12;
          if (delta >= threshold && delta < kInf) return true;
        }
      }
      // A NaN or +inf term anywhere in the candidate makes its length NaN or +inf.
      if (blocks(n1) || blocks(n2)) return true;
      if (s.bad_rev_[j - 1] != bad_rev_i_) return true;          // reversed edges i .. j-2
      if (s.bad_fwd_[j] != bad_fwd_kept_) return true;           // edges kept outside i-1 .. j-1
      return false;
    }

   private:
    const FastScan& s_;
    const double* row_a_;
    const double* row_b_;
    double o1_, abs_o1_, q_i_;
    std::size_t nonfinite_i_, bad_rev_i_, bad_fwd_kept_;
  };

  std::vector<std::size_t> t_;
  std::size_t m_;
  std::vector<const double*> rows_;
  std::vector<double> fwd_;             // e[k]
  std::vector<double> prefix_q_;        // sum of fl(r[p] - e[p]) over p < k, finite edges only
  std::vector<std::size_t> bad_fwd_;  // prefix counts of NaN / +inf forward edges
  std::vector<std::size_t> bad_rev_;  // ... of NaN / +inf backward edges
  std::vector<std::size_t> nonfinite_;  // ... of edges whose either direction is not finite
  std::vector<std::size_t> scratch_;
  double factor_;
  double base_ = 0.0;
  bool bounded_ = false;
};

}  // namespace

TwoOptResult full_scan(std::vector<std::size_t> tour, const Matrix& d) { return FastScan(std::move(tour), d).run(); }

}  // namespace swarmix
