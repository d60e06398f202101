#include "random/std_rng.hpp"

#include "core/numeric.hpp"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#if defined(__linux__)
#include <sys/random.h>
#endif

namespace swarmix {

namespace {

// Eight ChaCha blocks side by side: lane b of word vector w is word w of block counter+b.
// The same source compiles for AVX2 (one register per word) and for plain SSE2 (two).
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

// Inlined into each wrapper below, so it is compiled once per instruction set.
// With byte shuffles (SSSE3 and later) the rotations by 16 and 8 take one instruction.
template <bool kByteShuffle>
[[gnu::always_inline]] inline void chacha12_blocks(const std::uint32_t* key, std::uint64_t counter,
                                                   std::uint64_t* out) {
  constexpr std::uint32_t sigma[4] = {0x61707865u, 0x3320646eu, 0x79622d32u, 0x6b206574u};
  Lanes in[16];
  for (int w = 0; w < 4; ++w) in[w] = Lanes{} + sigma[w];
  for (int w = 0; w < 8; ++w) in[4 + w] = Lanes{} + key[w];
  for (int b = 0; b < 8; ++b) {
    std::uint64_t k = counter + static_cast<std::uint64_t>(b);
    in[12][b] = static_cast<std::uint32_t>(k);
    in[13][b] = static_cast<std::uint32_t>(k >> 32);
  }
  in[14] = Lanes{};
  in[15] = Lanes{};
  Lanes x[16];
  for (int w = 0; w < 16; ++w) x[w] = in[w];
  auto rotl = [](Lanes v, int n) {
    if constexpr (kByteShuffle) {
      if (n == 16 || n == 8) {
        Bytes b = reinterpret_cast<Bytes&>(v);
        Bytes r = n == 16 ? SWARMIX_SHUFFLE(Bytes, b, b, 2, 3, 0, 1, 6, 7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13,
                                            18, 19, 16, 17, 22, 23, 20, 21, 26, 27, 24, 25, 30, 31, 28, 29)
                          : SWARMIX_SHUFFLE(Bytes, b, b, 3, 0, 1, 2, 7, 4, 5, 6, 11, 8, 9, 10, 15, 12, 13, 14,
                                            19, 16, 17, 18, 23, 20, 21, 22, 27, 24, 25, 26, 31, 28, 29, 30);
        return reinterpret_cast<Lanes&>(r);
      }
    }
    return (v << n) | (v >> (32 - n));
  };
  auto quarter = [&](int a, int b, int c, int d) {
    x[a] += x[b]; x[d] ^= x[a]; x[d] = rotl(x[d], 16);
    x[c] += x[d]; x[b] ^= x[c]; x[b] = rotl(x[b], 12);
    x[a] += x[b]; x[d] ^= x[a]; x[d] = rotl(x[d], 8);
    x[c] += x[d]; x[b] ^= x[c]; x[b] = rotl(x[b], 7);
  };
  for (int round = 0; round < 6; ++round) {  // six double rounds: column, then diagonal
    quarter(0, 4, 8, 12); quarter(1, 5, 9, 13); quarter(2, 6, 10, 14); quarter(3, 7, 11, 15);
    quarter(0, 5, 10, 15); quarter(1, 6, 11, 12); quarter(2, 7, 8, 13); quarter(3, 4, 9, 14);
  }
  // Words 2p and 2p+1 of every block interleaved into 64-bit pairs: the low vector holds
  // the pairs of blocks 0, 1, 4, 5 and the high one those of blocks 2, 3, 6, 7 (the lane
  // order of the 256-bit unpack instructions).
  for (int p = 0; p < 8; ++p) {
    Lanes a = x[2 * p] + in[2 * p], b = x[2 * p + 1] + in[2 * p + 1];
    Lanes lo = SWARMIX_SHUFFLE(Lanes, a, b, 0, 8, 1, 9, 4, 12, 5, 13);
    Lanes hi = SWARMIX_SHUFFLE(Lanes, a, b, 2, 10, 3, 11, 6, 14, 7, 15);
    __builtin_memcpy(out + 8 * p, &lo, sizeof lo);
    __builtin_memcpy(out + 8 * p + 4, &hi, sizeof hi);
  }
}

#if defined(__x86_64__) && defined(__GNUC__)
__attribute__((target("avx2"))) void chacha12_blocks_avx2(const std::uint32_t* key, std::uint64_t counter,
                                                          std::uint64_t* out) {
  chacha12_blocks<true>(key, counter, out);
}
#endif

void chacha12_blocks_generic(const std::uint32_t* key, std::uint64_t counter, std::uint64_t* out) {
  chacha12_blocks<false>(key, counter, out);
}

using BlocksFn = void (*)(const std::uint32_t*, std::uint64_t, std::uint64_t*);

// Runs from a static initialiser, possibly before the compiler runtime has read the
// processor's features: __builtin_cpu_init() reads them first.
BlocksFn pick_blocks_fn() {
#if defined(__x86_64__) && defined(__GNUC__)
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2")) return chacha12_blocks_avx2;
#endif
  return chacha12_blocks_generic;
}

const BlocksFn blocks_fn = pick_blocks_fn();

}  // namespace

#undef SWARMIX_SHUFFLE

void StdRng::refill() {
  blocks_fn(key_.data(), counter_, buffer_.data());
  counter_ += kBlocks;
  pair_ = 0;
}

StdRng StdRng::from_key(const std::array<std::uint32_t, 8>& key) {
  StdRng rng;
  rng.key_ = key;
  return rng;
}

StdRng StdRng::seed_from_u64(std::uint64_t seed) {
  std::array<std::uint32_t, 8> key;
  std::uint64_t state = seed;
  for (auto& word : key) {
    state = state * 6364136223846793005ull + 11634580027462260723ull;
    std::uint32_t xorshifted = static_cast<std::uint32_t>(((state >> 18) ^ state) >> 27);
    std::uint32_t rot = static_cast<std::uint32_t>(state >> 59);
    word = (xorshifted >> rot) | (xorshifted << ((32 - rot) & 31));
  }
  return from_key(key);
}

StdRng StdRng::from_entropy() {
  unsigned char bytes[32];
  std::size_t got = 0;
#if defined(__linux__)
  while (got < sizeof bytes) {
    ssize_t r = getrandom(bytes + got, sizeof bytes - got, 0);
    if (r < 0) {
      if (errno == EINTR) continue;
      break;  // ENOSYS and friends: fall back to the device file
    }
    got += static_cast<std::size_t>(r);
  }
#endif
  if (got < sizeof bytes) {
    int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw InternalError(std::string("from_entropy failed: ") + std::strerror(errno));
    got = 0;
    while (got < sizeof bytes) {
      ssize_t r = ::read(fd, bytes + got, sizeof bytes - got);
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) {
        int err = r < 0 ? errno : EIO;
        ::close(fd);
        throw InternalError(std::string("from_entropy failed: ") + std::strerror(err));
      }
      got += static_cast<std::size_t>(r);
    }
    ::close(fd);
  }
  std::array<std::uint32_t, 8> key;
  for (int w = 0; w < 8; ++w) {
    key[w] = static_cast<std::uint32_t>(bytes[4 * w]) | (static_cast<std::uint32_t>(bytes[4 * w + 1]) << 8) |
             (static_cast<std::uint32_t>(bytes[4 * w + 2]) << 16) |
             (static_cast<std::uint32_t>(bytes[4 * w + 3]) << 24);
  }
  return from_key(key);
}

double StdRng::n01() {
  double u1 = u01();
  double u2 = u01();
  u1 = nan_min(nan_max(u1, 1e-12), 1.0);
  return std::sqrt(std::log(u1) * -2.0) * std::cos(u2 * 6.283185307179586);
}

}  // namespace swarmix
