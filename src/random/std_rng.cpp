#include "random/std_rng.hpp"

#include "core/numeric.hpp"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <string>

// Entropy from the operating system's own call: the getrandom system call on Linux (through
// syscall(), so that no newer C library symbol is needed), getentropy elsewhere on POSIX,
// BCryptGenRandom on Windows.
#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <bcrypt.h>
#elif defined(__linux__)
#include <sys/syscall.h>
#include <unistd.h>
#else
#include <sys/random.h>
#include <unistd.h>
#endif

namespace swarmix {

namespace {

constexpr std::uint32_t kSigma[4] = {0x61707865u, 0x3320646eu, 0x79622d32u, 0x6b206574u};

// The output layout shared by both twins: out[8p + j] holds words 2p and 2p+1 (low, high) of
// block kOrder[j], the lane order of the 256-bit unpack instructions.
[[maybe_unused]] constexpr int kOrder[8] = {0, 1, 4, 5, 2, 3, 6, 7};  // read by the plain twin

#if SWARMIX_VECTORS
using portable::Bytes;
using portable::Lanes;

// Eight ChaCha blocks side by side: lane b of word vector w is word w of block counter+b.
// The same source compiles for AVX2 (one register per word) and for plain SSE2 (two).
// Inlined into each wrapper below, so it is compiled once per instruction set.
// With byte shuffles (SSSE3 and later) the rotations by 16 and 8 take one instruction.
template <bool kByteShuffle>
SWARMIX_ALWAYS_INLINE void chacha12_blocks(const std::uint32_t* key, std::uint64_t counter, std::uint64_t* out) {
  Lanes in[16];
  for (int w = 0; w < 4; ++w) in[w] = Lanes{} + kSigma[w];
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
  // Words 2p and 2p+1 of every block interleaved into 64-bit pairs in the order kOrder.
  for (int p = 0; p < 8; ++p) {
    Lanes a = x[2 * p] + in[2 * p], b = x[2 * p + 1] + in[2 * p + 1];
    Lanes lo = SWARMIX_SHUFFLE(Lanes, a, b, 0, 8, 1, 9, 4, 12, 5, 13);
    Lanes hi = SWARMIX_SHUFFLE(Lanes, a, b, 2, 10, 3, 11, 6, 14, 7, 15);
    std::memcpy(out + 8 * p, &lo, sizeof lo);
    std::memcpy(out + 8 * p + 4, &hi, sizeof hi);
  }
}

#if SWARMIX_AVX2_DISPATCH
SWARMIX_TARGET_AVX2 void chacha12_blocks_avx2(const std::uint32_t* key, std::uint64_t counter, std::uint64_t* out) {
  chacha12_blocks<true>(key, counter, out);
}
#endif

void chacha12_blocks_generic(const std::uint32_t* key, std::uint64_t counter, std::uint64_t* out) {
  chacha12_blocks<false>(key, counter, out);
}
#undef SWARMIX_SHUFFLE

#else  // the plain twin: one block at a time, the same words in the same places

void chacha12_blocks_generic(const std::uint32_t* key, std::uint64_t counter, std::uint64_t* out) {
  for (int b = 0; b < 8; ++b) {
    std::uint64_t k = counter + static_cast<std::uint64_t>(b);
    std::uint32_t in[16];
    for (int w = 0; w < 4; ++w) in[w] = kSigma[w];
    for (int w = 0; w < 8; ++w) in[4 + w] = key[w];
    in[12] = static_cast<std::uint32_t>(k);
    in[13] = static_cast<std::uint32_t>(k >> 32);
    in[14] = 0;
    in[15] = 0;
    std::uint32_t x[16];
    for (int w = 0; w < 16; ++w) x[w] = in[w];
    auto quarter = [&](int a, int b2, int c, int d) {
      x[a] += x[b2]; x[d] ^= x[a]; x[d] = std::rotl(x[d], 16);
      x[c] += x[d]; x[b2] ^= x[c]; x[b2] = std::rotl(x[b2], 12);
      x[a] += x[b2]; x[d] ^= x[a]; x[d] = std::rotl(x[d], 8);
      x[c] += x[d]; x[b2] ^= x[c]; x[b2] = std::rotl(x[b2], 7);
    };
    for (int round = 0; round < 6; ++round) {
      quarter(0, 4, 8, 12); quarter(1, 5, 9, 13); quarter(2, 6, 10, 14); quarter(3, 7, 11, 15);
      quarter(0, 5, 10, 15); quarter(1, 6, 11, 12); quarter(2, 7, 8, 13); quarter(3, 4, 9, 14);
    }
    int j = 0;
    while (kOrder[j] != b) ++j;
    for (int p = 0; p < 8; ++p) {
      out[8 * p + j] = static_cast<std::uint64_t>(x[2 * p] + in[2 * p]) |
                       (static_cast<std::uint64_t>(x[2 * p + 1] + in[2 * p + 1]) << 32);
    }
  }
}

#endif

using BlocksFn = void (*)(const std::uint32_t*, std::uint64_t, std::uint64_t*);

BlocksFn pick_blocks_fn() {
#if SWARMIX_AVX2_DISPATCH
  if (portable::cpu_has_avx2()) return chacha12_blocks_avx2;
#endif
  return chacha12_blocks_generic;
}

const BlocksFn blocks_fn = pick_blocks_fn();

// Fills bytes[0, n) from the operating system; false (errno set where there is one) when it
// cannot.
bool os_entropy(unsigned char* bytes, std::size_t n) {
#if defined(_WIN32)
  return BCryptGenRandom(nullptr, bytes, static_cast<ULONG>(n), BCRYPT_USE_SYSTEM_PREFERRED_RNG) == 0;
#elif defined(__linux__)
  std::size_t got = 0;
  while (got < n) {
    long r = ::syscall(SYS_getrandom, bytes + got, n - got, 0);
    if (r < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    got += static_cast<std::size_t>(r);
  }
  return true;
#else
  return ::getentropy(bytes, n) == 0;  // at most 256 bytes a call
#endif
}

}  // namespace


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
  errno = 0;
  if (!os_entropy(bytes, sizeof bytes)) {
    throw InternalError(std::string("from_entropy failed: ") + (errno ? std::strerror(errno) : "no entropy"));
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
