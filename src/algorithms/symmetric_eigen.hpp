#pragma once
// The eigendecomposition of a real symmetric matrix, the same bits on every build.
//
// Two published steps, each in one fixed order of operations:
// 1. Householder tridiagonalisation from the top: for k = 0 .. n-3, the reflection
//    P = I - u u^T / h that maps the k-th row's part right of the diagonal onto its first
//    coordinate (the part divided by the sum of its magnitudes first, so that no square under-
//    or overflows) turns the trailing block B into B - (u q^T + q u^T), q = p - (u^T p / 2h) u,
//    p = B u / h. Then Q = P_0 P_1 ... P_{n-3} is accumulated backwards (each P applied from
//    the left), so A = Q T Q^T with T tridiagonal.
// 2. The implicit QL iteration with Wilkinson's shift on T: for each l in turn, until the
//    subdiagonal element at l is negligible (|e| + (|d_m| + |d_m+1|) equals |d_m| + |d_m+1|),
//    one sweep of plane rotations from the bottom of the unreduced block up to l, each one
//    applied at once to the two rows of Q^T that it mixes. At most 60 sweeps per eigenvalue.
// The eigenvalues are then ordered ascending by a stable sort, their rows with them.
//
// Every sum runs in index order and every inner loop along contiguous memory over independent
// elements, so a compiler may vectorise it without reordering any sum; there is no fused
// multiply-add (the build contracts none) and no library call but sqrt. Where the processor
// runs AVX2, the same code compiled for it is chosen at load (wider vectors, the same
// operations). gcc and clang, at any optimisation, with or without vector instructions, give
// the same bits.
#include <cstddef>
#include <vector>

namespace swarmix {

// Eigendecomposition of the symmetric n x n matrix `a` (row-major; only what lies on and above
// the diagonal is read; overwritten as work space): `values` gets the eigenvalues in ascending
// order, row k of `vectors` (n x n, row-major) the unit eigenvector of values[k]. False when the
// matrix or an eigenvalue is not finite or the iteration did not converge (then the outputs
// hold no meaning).
bool symmetric_eigen(std::size_t n, std::vector<double>& a, std::vector<double>& values, std::vector<double>& vectors);

}  // namespace swarmix
