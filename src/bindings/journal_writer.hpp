#pragma once
// Writing a journal's records (docs/journal.md) after the records a file already holds: a
// number of a scalar fit extends the current run (`R`), anything else is an evaluation record
// (`E`) of its own. A frame's header is stored after its payload, so a reader meets either a
// complete frame or a zero header. No Python types: the recorder (recorder.hpp) feeds it, and
// the native test (tools/journal_io_test) drives it directly.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "bindings/journal_file.hpp"
#include "bindings/journal_format.hpp"

namespace swarmix::journal {

class Writer {
 public:
  // Space reserved ahead of a mapping: chunks that double from the first size up to the
  // largest; near a full disk a chunk halves until it fits (at least what the next record needs).
  static constexpr std::uint64_t kFirstChunk = std::uint64_t{1} << 16;
  static constexpr std::uint64_t kLargestChunk = std::uint64_t{1} << 24;

  // `fd` is open for reading and writing; new records go at `end` (what follows is cut off at
  // the first write). `mapped`: write through a shared mapping of reserved space where the
  // platform can, else with plain writes.
  Writer(int fd, std::uint64_t end, Sync sync, bool mapped, std::size_t dimensions, bool vector);
  ~Writer();
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;

  // A number of a scalar fit.
  void row(std::uint64_t index, std::span<const double> point, double value);
  // One evaluation: a number's values (a vector objective's list), or a failure and its text.
  void evaluation(std::uint64_t index, Outcome outcome, std::span<const double> point, std::span<const double> values,
                  std::string_view text = {});
  // A live evaluation was recorded; a group of evaluations is complete.
  void evaluated() {
    if (sync_ == Sync::kEveryEvaluation) flush();
  }
  void group_done() {
    if (sync_ == Sync::kEveryGroup && appended_) flush();
  }
  // Unmap and cut the file to its records (reserved space goes); once.
  void close();

  std::uint64_t end() const { return end_; }
  bool appended() const { return appended_; }
  bool mapped() const { return mapped_; }

 private:
  void flush();
  void reserve(std::size_t n);
  void map();
  void unmap();
  void put(std::uint64_t at, const void* data, std::size_t n);
  void put_header(std::uint64_t at, std::uint32_t length, std::uint32_t crc);

  File file_;
  std::size_t d_;
  bool vector_;
  Sync sync_;
  bool mapped_;
  bool appended_ = false;
  bool closed_ = false;
  std::uint64_t end_;
  std::uint64_t reserved_ = 0;  // the file's length while space is reserved ahead
  std::uint64_t chunk_ = kFirstChunk;
  unsigned char* map_ = nullptr;
  std::uint64_t map_at_ = 0;
  std::size_t map_length_ = 0;
  bool run_open_ = false;  // the last frame is a run that the next row may extend
  std::uint64_t run_at_ = 0;
  std::uint64_t run_next_ = 0;
  std::uint32_t run_length_ = 0, run_crc_ = 0;
  std::vector<unsigned char> buffer_;
};

}  // namespace swarmix::journal
