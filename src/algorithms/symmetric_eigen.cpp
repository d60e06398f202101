#include "algorithms/symmetric_eigen.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "core/error.hpp"
#include "core/portable.hpp"

namespace swarmix {

namespace {

// sqrt(a^2 + b^2) without under- or overflow of the squares.
double hypot_of(double a, double b) {
  a = std::fabs(a);
  b = std::fabs(b);
  if (a < b) std::swap(a, b);
  if (a == 0.0) return 0.0;
  const double t = b / a;
  return a * std::sqrt(1.0 + t * t);
}

// The reflection P = I - u u^T / h of row k (right of the diagonal) of the n x n matrix a, in
// place: the row becomes u (scaled), off[k] the entry of T; returns h. A row that is already
// reduced keeps u = 0 (P = I) and off[k] = 0.
SWARMIX_ALWAYS_INLINE double reflect_row(std::size_t n, std::vector<double>& a, std::size_t k,
                                         std::vector<double>& off) {
  double* u = &a[k * n];
  double scale = 0.0;
  for (std::size_t j = k + 1; j < n; ++j) scale = scale + std::fabs(u[j]);
  if (scale == 0.0) return 1.0;
  double norm_sq = 0.0;
  for (std::size_t j = k + 1; j < n; ++j) {
    u[j] = u[j] / scale;
    norm_sq = norm_sq + u[j] * u[j];
  }
  const double x0 = u[k + 1];
  const double alpha = x0 >= 0.0 ? -std::sqrt(norm_sq) : std::sqrt(norm_sq);  // P x = alpha e_1
  off[k] = alpha * scale;
  u[k + 1] = x0 - alpha;
  return norm_sq - x0 * alpha;
}

// sum = the sum over rows i = from .. n-1 of c[i] times row i of m (columns from .. n-1), in the
// order of the rows.
SWARMIX_ALWAYS_INLINE void sum_rows(std::size_t n, const std::vector<double>& m, const double* c, std::size_t from,
                                    double* sum) {
  std::fill_n(sum, n - from, 0.0);
  for (std::size_t i = from; i < n; ++i) {
    const double ci = c[i];
    const double* row = &m[i * n + from];
    for (std::size_t j = 0; j < n - from; ++j) sum[j] = row[j] * ci + sum[j];
  }
}

// Householder tridiagonalisation of the full symmetric matrix a: diag and off (off[i] = T[i][i+1],
// off[n-1] = 0) get T, q (n x n) gets Q with a = Q T Q^T. Row k of `a` is overwritten by the
// k-th reflection's u.
SWARMIX_ALWAYS_INLINE void tridiagonalise(std::size_t n, std::vector<double>& a, double* diag,
                                          std::vector<double>& off, std::vector<double>& q) {
  std::vector<double> h(n, 1.0), p(n, 0.0);
  for (std::size_t k = 0; k + 2 < n; ++k) {
    diag[k] = a[k * n + k];
    h[k] = reflect_row(n, a, k, off);
    const double* u = &a[k * n];
    const std::size_t first = k + 1, m = n - first;
    // On the trailing block B (symmetric, so B u is a sum of its rows): p = B u / h,
    // q = p - (u^T p / 2h) u, then B - (u q^T + q u^T).
    sum_rows(n, a, u, first, p.data());
    double up = 0.0;
    for (std::size_t j = 0; j < m; ++j) {
      p[j] = p[j] / h[k];
      up = up + u[first + j] * p[j];
    }
    const double half = up / (h[k] + h[k]);
    for (std::size_t j = 0; j < m; ++j) p[j] = p[j] - half * u[first + j];  // now q
    for (std::size_t i = first; i < n; ++i) {  // the same sum at (i, j) and (j, i): B stays symmetric
      const double ui = u[i], qi = p[i - first];
      double* b = &a[i * n + first];
      const double* uj = &u[first];
      for (std::size_t j = 0; j < m; ++j) b[j] = b[j] - (ui * p[j] + qi * uj[j]);
    }
  }
  if (n >= 2) {
    diag[n - 2] = a[(n - 2) * n + (n - 2)];
    off[n - 2] = a[(n - 2) * n + (n - 1)];
  }
  diag[n - 1] = a[(n - 1) * n + (n - 1)];
  off[n - 1] = 0.0;
  // Q = P_0 (P_1 (... P_{n-3})), each P_k from the left on rows and columns k+1 .. n-1 (the
  // product of the later ones is the identity elsewhere): the rows take u_i (u^T Q / h) off.
  q.assign(n * n, 0.0);
  for (std::size_t i = 0; i < n; ++i) q[i * n + i] = 1.0;
  for (std::size_t k = n < 3 ? 0 : n - 2; k-- > 0;) {
    const double* u = &a[k * n];
    const std::size_t first = k + 1, m = n - first;
    sum_rows(n, q, u, first, p.data());
    for (std::size_t j = 0; j < m; ++j) p[j] = p[j] / h[k];
    for (std::size_t i = first; i < n; ++i) {
      const double ui = u[i];
      double* row = &q[i * n + first];
      for (std::size_t j = 0; j < m; ++j) row[j] = row[j] - ui * p[j];
    }
  }
}

// The implicit QL iteration on the tridiagonal (diag, off); each rotation mixes two rows of w
// (w = Q^T on entry, the eigenvectors as rows on return). False when it does not converge.
SWARMIX_ALWAYS_INLINE bool implicit_ql(std::size_t n, double* diag, std::vector<double>& off, std::vector<double>& w) {
  for (std::size_t l = 0; l < n; ++l) {
    for (int sweeps = 0;; ++sweeps) {
      std::size_t m = l;
      for (; m + 1 < n; ++m) {
        const double dd = std::fabs(diag[m]) + std::fabs(diag[m + 1]);
        if (std::fabs(off[m]) + dd == dd) break;
      }
      if (m == l) break;
      if (sweeps == 60) return false;
      // Wilkinson's shift.
      double g = (diag[l + 1] - diag[l]) / (off[l] + off[l]);
      double r = hypot_of(g, 1.0);
      g = (diag[m] - diag[l]) + off[l] / (g + (g >= 0.0 ? r : -r));
      double s = 1.0, c = 1.0, p = 0.0;
      bool split = false;
      for (std::size_t i = m; i-- > l;) {
        const double f = s * off[i];
        const double b = c * off[i];
        r = hypot_of(f, g);
        off[i + 1] = r;
        if (r == 0.0) {  // the rotation underflowed: the matrix splits here
          diag[i + 1] = diag[i + 1] - p;
          off[m] = 0.0;
          split = true;
          break;
        }
        s = f / r;
        c = g / r;
        g = diag[i + 1] - p;
        r = (diag[i] - g) * s + (c * b) * 2.0;
        p = s * r;
        diag[i + 1] = g + p;
        g = c * r - b;
        double* wi = &w[i * n];
        double* wn = &w[(i + 1) * n];
        for (std::size_t k = 0; k < n; ++k) {
          const double x = wi[k], y = wn[k];
          wn[k] = s * x + c * y;
          wi[k] = c * x - s * y;
        }
      }
      if (split) continue;
      diag[l] = diag[l] - p;
      off[l] = g;
      off[m] = 0.0;
    }
  }
  return true;
}

// The work between the checks and the ordering: compiled twice where the processor may run
// AVX2 (the same operations on wider vectors, so the same bits), chosen once at load.
SWARMIX_ALWAYS_INLINE bool decompose(std::size_t n, std::vector<double>& a, std::vector<double>& values,
                                     std::vector<double>& vectors) {
  std::vector<double> off(n, 0.0), q;
  tridiagonalise(n, a, values.data(), off, q);
  for (std::size_t i = 0; i < n; ++i)  // w = Q^T
    for (std::size_t j = 0; j < n; ++j) vectors[i * n + j] = q[j * n + i];
  return implicit_ql(n, values.data(), off, vectors);
}

bool decompose_generic(std::size_t n, std::vector<double>& a, std::vector<double>& values,
                       std::vector<double>& vectors) {
  return decompose(n, a, values, vectors);
}

using DecomposeFn = bool (*)(std::size_t, std::vector<double>&, std::vector<double>&, std::vector<double>&);

#if SWARMIX_AVX2_DISPATCH
SWARMIX_TARGET_AVX2 bool decompose_avx2(std::size_t n, std::vector<double>& a, std::vector<double>& values,
                                        std::vector<double>& vectors) {
  return decompose(n, a, values, vectors);
}
const DecomposeFn decompose_fn = portable::cpu_has_avx2() ? decompose_avx2 : decompose_generic;
#else
const DecomposeFn decompose_fn = decompose_generic;
#endif

}  // namespace

bool symmetric_eigen(std::size_t n, std::vector<double>& a, std::vector<double>& values, std::vector<double>& vectors) {
  if (a.size() != checked_mul(n, n)) throw InternalError("the matrix is not n x n");
  values.assign(n, 0.0);
  vectors.assign(n * n, 0.0);
  if (n == 0) return true;
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = i; j < n; ++j) {
      if (!std::isfinite(a[i * n + j])) return false;
      a[j * n + i] = a[i * n + j];
    }
  }
  if (!decompose_fn(n, a, values, vectors)) return false;
  for (double v : values)
    if (!std::isfinite(v)) return false;  // (an overflow; the sort needs numbers)
  // Ascending order; a stable sort, so the order of equal eigenvalues is fixed.
  std::vector<std::size_t> order(n);
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(),
                   [&values](std::size_t x, std::size_t y) { return values[x] < values[y]; });
  std::vector<double> sorted(n), rows(n * n);
  for (std::size_t k = 0; k < n; ++k) {
    sorted[k] = values[order[k]];
    std::copy_n(&vectors[order[k] * n], n, &rows[k * n]);
  }
  values.swap(sorted);
  vectors.swap(rows);
  return true;
}

}  // namespace swarmix
