#pragma once
// The journal's record layout, as the native writer states it (docs/journal.md describes it;
// swarmix/_journal_file.py states it for Python). No Python types: the file layer's native test
// (tools/journal_io_test) builds on it too; journal_format.cpp holds the CRC-32.
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>
#include <vector>

namespace swarmix::journal {

// The file starts with the magic bytes and the format version (u32).
inline constexpr std::array<unsigned char, 8> kMagic = {'S', 'W', 'X', 'J', '\r', '\n', 0x1a, '\n'};
inline constexpr std::uint32_t kVersion = 2;  // version 1 files (no group records) still read
inline constexpr std::size_t kPreambleSize = kMagic.size() + 4;

// A frame: u32 payload length, u32 CRC-32 of the payload, then the payload, whose first byte
// is its kind. A zero header ends the records.
inline constexpr std::size_t kFrameHeaderSize = 8;
inline constexpr unsigned char kHeaderTag = 'H';       // UTF-8 JSON describing the fit
inline constexpr unsigned char kEvaluationsTag = 'E';  // u64 first index, u32 count, outcomes, points, values, texts
inline constexpr unsigned char kRunTag = 'R';          // u64 first index, rows of point and value
inline constexpr unsigned char kEndTag = 'Z';          // u64 the number of evaluations of the fit
inline constexpr unsigned char kGroupTag = 'G';        // u64 first index, u32 count: one group, recorded in any order
inline constexpr std::size_t kEvaluationsPrefix = 1 + 8 + 4;
inline constexpr std::size_t kRunPrefix = 1 + 8;
// A run stays below this many payload bytes (a u32 length with room to spare).
inline constexpr std::uint32_t kLongestRun = 1u << 30;

// What an evaluation gave.
enum Outcome : unsigned char {
  kNumber = 0,       // a number (a list of numbers for a vector objective)
  kError = 1,        // the objective raised: "TypeName: message"
  kNotANumber = 2,   // the result is not a number: the conversion error's message
  kNotRecorded = 255,  // (in memory only) an index the journal does not hold
};

// When the file is flushed to the disk (the session's `sync`).
enum class Sync : int { kNever = 0, kEveryEvaluation = 1, kEveryGroup = 2 };

// CRC-32 (zlib's) of `n` bytes, continuing from `crc` (0 to start).
std::uint32_t crc32(std::uint32_t crc, const unsigned char* p, std::size_t n);

template <class T>
void put_le(std::vector<unsigned char>& out, T value) {
  static_assert(std::is_integral_v<T>);
  for (std::size_t i = 0; i < sizeof(T); ++i) out.push_back(static_cast<unsigned char>(value >> (8 * i)));
}

inline void put_doubles(std::vector<unsigned char>& out, std::span<const double> values) {
  if constexpr (std::endian::native == std::endian::little) {
    const auto* p = reinterpret_cast<const unsigned char*>(values.data());
    out.insert(out.end(), p, p + values.size() * sizeof(double));
  } else {
    for (double v : values) put_le(out, std::bit_cast<std::uint64_t>(v));
  }
}

// A frame's header: its payload's length and checksum.
inline std::array<unsigned char, kFrameHeaderSize> frame_header(std::uint32_t length, std::uint32_t crc) {
  std::array<unsigned char, kFrameHeaderSize> header{};
  for (int i = 0; i < 4; ++i) {
    header[i] = static_cast<unsigned char>(length >> (8 * i));
    header[4 + i] = static_cast<unsigned char>(crc >> (8 * i));
  }
  return header;
}

}  // namespace swarmix::journal
