#pragma once
// The one random source: the ChaCha12 keystream (64-bit block counter, stream 0) read as
// 32-bit words, with the library's exact draw rules on top.
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "core/error.hpp"
#include "core/portable.hpp"

namespace swarmix {

static_assert(std::endian::native == std::endian::little, "the word buffer assumes little-endian pairs");

class StdRng {
 public:
  static constexpr std::size_t kBlocks = 8;               // blocks produced per refill
  static constexpr std::size_t kWords = 16 * kBlocks;     // buffer size in words

  // PCG32 expansion of a 64-bit seed into the 32-byte key.
  static StdRng seed_from_u64(std::uint64_t seed);
  // 32 bytes of operating-system entropy as the key; InternalError when none can be had.
  static StdRng from_entropy();
  static StdRng from_key(const std::array<std::uint32_t, 8>& key);
  // seed_from_u64 when a seed is given, from_entropy otherwise.
  template <class OptionalSeed>
  static StdRng from_seed(const OptionalSeed& seed) {
    return seed ? seed_from_u64(*seed) : from_entropy();
  }

  std::uint32_t next_u32() {
    if (pending_) {  // the high word of a pair whose low word was taken
      pending_ = false;
      limit_ = kPairs;
      return pending_word_;
    }
    if (pair_ >= kPairs) refill();
    const std::uint64_t p = buffer_[kPairSlot[pair_++]];
    pending_word_ = static_cast<std::uint32_t>(p >> 32);
    pending_ = true;
    limit_ = 0;  // the next 64-bit draw must start with the pending word
    return static_cast<std::uint32_t>(p);
  }
  // Low half first, also across a refill.
  std::uint64_t next_u64() {
    if (pair_ < limit_) return buffer_[kPairSlot[pair_++]];  // the usual case: a whole stored pair
    if (!pending_) {
      refill();
      return buffer_[kPairSlot[pair_++]];
    }
    std::uint64_t lo = next_u32();
    std::uint64_t hi = next_u32();
    return lo | (hi << 32);
  }

  // Uniform double in [0, 1) from the top 53 bits of a 64-bit draw.
  // (The 53-bit integer goes through int64_t: same value, one conversion instruction.)
  double u01() {
    return static_cast<double>(static_cast<std::int64_t>(next_u64() >> 11)) * 1.1102230246251565e-16;
  }

  // Uniform index in [0, n) by widening multiplication with rejection.
  std::uint64_t index(std::uint64_t n) {
    if (n == 0) throw InternalError("cannot sample empty range");
    const std::uint64_t zone = (n << std::countl_zero(n)) - 1;
    for (;;) {
      const portable::Wide product = portable::mul_wide(next_u64(), n);
      if (product.lo <= zone) return product.hi;
    }
  }
  // a + index(b - a); empty when b <= a.
  std::uint64_t index(std::uint64_t a, std::uint64_t b) {
    if (b <= a) throw InternalError("cannot sample empty range");
    return a + index(b - a);
  }
  // The same method on 32-bit words (slice operations: shuffle, random choice).
  std::uint32_t index32(std::uint32_t n) {
    if (n == 0) throw InternalError("cannot sample empty range");
    const std::uint32_t zone = (n << std::countl_zero(n)) - 1;
    for (;;) {
      std::uint64_t product = static_cast<std::uint64_t>(next_u32()) * n;
      if (static_cast<std::uint32_t>(product) <= zone) return static_cast<std::uint32_t>(product >> 32);
    }
  }
  // Random choice of an element index of a slice of length n (32-bit draw while it fits).
  std::uint64_t slice_index(std::uint64_t n) {
    return n <= 0xFFFFFFFFull ? index32(static_cast<std::uint32_t>(n)) : index(n);
  }

  // Visit i = m-1 down to 1, swapping element i with element slice_index(i + 1).
  template <class T>
  void shuffle(std::vector<T>& items) {
    for (std::size_t i = items.size(); i > 1; --i) {
      std::size_t j = static_cast<std::size_t>(slice_index(i));
      std::swap(items[i - 1], items[j]);
    }
  }

  // Standard normal: cosine branch of Box-Muller, two u01 draws.
  double n01();

 private:
  StdRng() = default;
  void refill();
  std::array<std::uint32_t, 8> key_{};
  std::uint64_t counter_ = 0;
  // The refill's words as 64-bit pairs (words 2j and 2j+1 of a block, low word first), in
  // the order the SIMD kernel leaves them: pair j of the stream is buffer_[kPairSlot[j]];
  // pair_ is the next unread pair. After a lone 32-bit draw the pair's other word is
  // pending, and limit_ = 0 sends 64-bit draws to the slow path.
  static constexpr std::size_t kPairs = kWords / 2;
  static constexpr std::array<std::uint8_t, kPairs> kPairSlot = [] {
    // Within a word pair the kernel's lanes hold blocks 0 1 4 5 2 3 6 7 (the lane order of
    // the 256-bit unpack instructions).
    constexpr std::uint8_t lane_slot[kBlocks] = {0, 1, 4, 5, 2, 3, 6, 7};
    std::array<std::uint8_t, kPairs> slots{};
    for (std::size_t j = 0; j < kPairs; ++j)
      slots[j] = static_cast<std::uint8_t>((j % 8) * kBlocks + lane_slot[j / 8]);
    return slots;
  }();
  alignas(64) std::array<std::uint64_t, kPairs> buffer_{};
  std::size_t pair_ = kPairs;
  std::size_t limit_ = kPairs;
  std::uint32_t pending_word_ = 0;
  bool pending_ = false;
};

}  // namespace swarmix
