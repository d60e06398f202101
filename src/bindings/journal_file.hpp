#pragma once
// The journal's file layer: positioned writes, sizing, reserving disk space, a shared mapping
// and flushing, on a descriptor that Python opened and owns (a C runtime descriptor on Windows).
// Every call into the operating system is here, each behind its platform's guard:
// - Linux: pwrite, ftruncate, fallocate, mmap, fsync;
// - other POSIX systems (macOS): the same without fallocate, so that nothing is mapped (a
//   mapping of space that is not reserved would fault on a full disk) and plain writes are used;
// - Windows: WriteFile at an OVERLAPPED offset on the descriptor's handle, SetFileInformationByHandle
//   to size, FlushFileBuffers; no mapping (plain writes).
// Where a faster path is missing the slower one is taken, never a failure. No Python types: the
// native test (tools/journal_io_test) drives this layer as the recorder does.
#include <cstddef>
#include <cstdint>

namespace swarmix::journal {

// A failed call: `code` is an errno value (a Windows error is translated to the nearest one).
struct FileError {
  int code;
  const char* call;
};

// What File::reserve gives besides 0 (done) and a full disk's errno value (ENOSPC, EFBIG).
inline constexpr int kCannotReserve = -1;

class File {
 public:
  explicit File(int fd);

  // All `n` bytes at offset `at` (the file grows as needed).
  void write(std::uint64_t at, const void* data, std::size_t n) const;
  // The file's length becomes `length`.
  void resize(std::uint64_t length) const;
  // What was written reaches the disk.
  void sync() const;
  // Disk blocks for [at, at + n), the file growing to at least at + n: 0, or ENOSPC or EFBIG
  // when the disk (or the process's file size limit) has no room for them, or kCannotReserve
  // where space cannot be reserved (then nothing may be mapped).
  int reserve(std::uint64_t at, std::uint64_t n) const;
  // A shared writable mapping of [at, at + n), `at` a multiple of page_size(); null where files
  // cannot be mapped.
  unsigned char* map(std::uint64_t at, std::size_t n) const;
  static void unmap(unsigned char* p, std::size_t n);
  static std::size_t page_size();

 private:
#ifdef _WIN32
  void* handle_;  // the descriptor's handle
#else
  int fd_;
#endif
};

}  // namespace swarmix::journal
