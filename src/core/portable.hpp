#pragma once

// Every compiler-specific construct of the core lives here, each with a plain twin in
// standard C++20 that any compiler (MSVC included) takes. SWARMIX_GNU is 1 where the GNU
// extensions are used (gcc, clang, and their mingw and zig builds) and 0 for the plain twin;
// defining SWARMIX_PORTABLE (CMake: -DSWARMIX_PORTABLE=ON) forces the plain twin, so that a
// Linux build tests it. Both give the same bits: only speed differs.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>

#if defined(__GNUC__) && !defined(SWARMIX_PORTABLE)
#define SWARMIX_GNU 1
#else
#define SWARMIX_GNU 0
#endif

// Forces inlining where the compiler knows how to be told.
#if SWARMIX_GNU
#define SWARMIX_ALWAYS_INLINE [[gnu::always_inline]] inline
#else
#define SWARMIX_ALWAYS_INLINE inline
#endif

// SWARMIX_VECTORS: 1 when the GNU vector extensions are there (a 256-bit vector of eight
// 32-bit lanes, compiled for whatever the target offers). SWARMIX_AVX2_DISPATCH: 1 when a
// function can be compiled for AVX2 alone (SWARMIX_TARGET_AVX2) and chosen at run time by
// cpu_has_avx2().
#if SWARMIX_GNU
#define SWARMIX_VECTORS 1
#else
#define SWARMIX_VECTORS 0
#endif
#if SWARMIX_GNU && defined(__x86_64__)
#define SWARMIX_AVX2_DISPATCH 1
#define SWARMIX_TARGET_AVX2 __attribute__((target("avx2")))
#else
#define SWARMIX_AVX2_DISPATCH 0
#endif

namespace swarmix::portable {

#if SWARMIX_VECTORS
typedef std::uint32_t Lanes __attribute__((vector_size(32)));
typedef std::uint8_t Bytes __attribute__((vector_size(32)));

// A shuffle with constant indices (0 .. N-1 pick from a, N .. 2N-1 from b), the same words
// with every compiler: __builtin_shufflevector where it exists (clang, GCC 12 and later),
// GCC's __builtin_shuffle with an index vector of type Mask before that.
#if defined(__has_builtin)
#if __has_builtin(__builtin_shufflevector)
#define SWARMIX_SHUFFLE(Mask, a, b, ...) __builtin_shufflevector(a, b, __VA_ARGS__)
#endif
#endif
#ifndef SWARMIX_SHUFFLE
#define SWARMIX_SHUFFLE(Mask, a, b, ...) __builtin_shuffle(a, b, Mask{__VA_ARGS__})
#endif
#endif

#if SWARMIX_AVX2_DISPATCH
// Whether the processor runs AVX2. Safe from a static initialiser, possibly before the
// compiler runtime has read the processor's features: __builtin_cpu_init() reads them first.
inline bool cpu_has_avx2() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
}
#endif

// The full 128-bit product a * b as its high and low words.
struct Wide {
  std::uint64_t hi, lo;
};
inline Wide mul_wide(std::uint64_t a, std::uint64_t b) {
#if SWARMIX_GNU && defined(__SIZEOF_INT128__)
  unsigned __int128 p = static_cast<unsigned __int128>(a) * b;
  return {static_cast<std::uint64_t>(p >> 64), static_cast<std::uint64_t>(p)};
#else
  const std::uint64_t a_lo = a & 0xFFFFFFFFu, a_hi = a >> 32, b_lo = b & 0xFFFFFFFFu, b_hi = b >> 32;
  const std::uint64_t ll = a_lo * b_lo, lh = a_lo * b_hi, hl = a_hi * b_lo, hh = a_hi * b_hi;
  const std::uint64_t mid = (ll >> 32) + (lh & 0xFFFFFFFFu) + (hl & 0xFFFFFFFFu);
  return {hh + (lh >> 32) + (hl >> 32) + (mid >> 32), (mid << 32) | (ll & 0xFFFFFFFFu)};
#endif
}

// a * b into *product; true when it overflows.
inline bool mul_overflow(std::size_t a, std::size_t b, std::size_t* product) {
#if SWARMIX_GNU
  return __builtin_mul_overflow(a, b, product);
#else
  *product = a * b;
  return a != 0 && b > std::numeric_limits<std::size_t>::max() / a;
#endif
}

}  // namespace swarmix::portable
