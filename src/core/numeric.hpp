#pragma once
// Maximum and minimum of doubles where a NaN operand yields the other operand (both NaN:
// the first). Equal operands (+0 and -0 included) yield the second operand. These are the
// results of the C library's fmax/fmin on x86-64, written inline so that they cost no call
// and give the same bits on every platform.

namespace swarmix {

// (A NaN x fails the comparison and yields y.)
inline double nan_max(double x, double y) { return y != y ? x : (x > y ? x : y); }

inline double nan_min(double x, double y) { return y != y ? x : (x < y ? x : y); }

// A moved coordinate brought into [lo, hi]: raised to lo, then lowered to hi; NaN gives lo.
inline double clamp_coordinate(double v, double lo, double hi) { return nan_min(nan_max(v, lo), hi); }

}  // namespace swarmix
