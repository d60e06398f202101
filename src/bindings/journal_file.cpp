#include "bindings/journal_file.hpp"

#include <algorithm>
#include <cerrno>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/types.h>
#include <unistd.h>
#endif

namespace swarmix::journal {

namespace {

[[noreturn]] void fail(int code, const char* call) { throw FileError{code, call}; }

#ifdef _WIN32
// The errno value nearest to a Windows error, for Python's OSError.
int errno_of(DWORD error) {
  switch (error) {
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: return ENOSPC;
    case ERROR_FILE_TOO_LARGE: return EFBIG;
    case ERROR_ACCESS_DENIED:
    case ERROR_LOCK_VIOLATION:
    case ERROR_SHARING_VIOLATION: return EACCES;
    case ERROR_INVALID_HANDLE: return EBADF;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY: return ENOMEM;
    default: return EIO;
  }
}
[[noreturn]] void fail_windows(const char* call) { fail(errno_of(GetLastError()), call); }
#endif

}  // namespace

#ifdef _WIN32

File::File(int fd) {
  const intptr_t handle = _get_osfhandle(fd);
  if (handle == -1) fail(EBADF, "_get_osfhandle");
  handle_ = reinterpret_cast<void*>(handle);
}

void File::write(std::uint64_t at, const void* data, std::size_t n) const {
  const auto* p = static_cast<const unsigned char*>(data);
  while (n) {
    OVERLAPPED where{};
    where.Offset = static_cast<DWORD>(at);
    where.OffsetHigh = static_cast<DWORD>(at >> 32);
    DWORD written = 0;
    const DWORD part = static_cast<DWORD>(std::min<std::size_t>(n, std::size_t{1} << 30));
    if (!WriteFile(static_cast<HANDLE>(handle_), p, part, &written, &where)) fail_windows("WriteFile");
    if (written == 0) fail(EIO, "WriteFile");
    p += written;
    at += written;
    n -= written;
  }
}

void File::resize(std::uint64_t length) const {
  FILE_END_OF_FILE_INFO info{};
  info.EndOfFile.QuadPart = static_cast<LONGLONG>(length);
  if (!SetFileInformationByHandle(static_cast<HANDLE>(handle_), FileEndOfFileInfo, &info, sizeof info))
    fail_windows("SetFileInformationByHandle");
}

void File::sync() const {
  if (!FlushFileBuffers(static_cast<HANDLE>(handle_))) fail_windows("FlushFileBuffers");
}

int File::reserve(std::uint64_t, std::uint64_t) const { return kCannotReserve; }

unsigned char* File::map(std::uint64_t, std::size_t) const { return nullptr; }

void File::unmap(unsigned char*, std::size_t) {}

std::size_t File::page_size() {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  return info.dwAllocationGranularity;
}

#else  // POSIX

File::File(int fd) : fd_(fd) {}

void File::write(std::uint64_t at, const void* data, std::size_t n) const {
  const auto* p = static_cast<const unsigned char*>(data);
  while (n) {
    const ssize_t written = pwrite(fd_, p, n, static_cast<off_t>(at));
    if (written < 0) {
      if (errno == EINTR) continue;
      fail(errno, "pwrite");
    }
    p += written;
    at += static_cast<std::uint64_t>(written);
    n -= static_cast<std::size_t>(written);
  }
}

void File::resize(std::uint64_t length) const {
  while (ftruncate(fd_, static_cast<off_t>(length)) != 0)
    if (errno != EINTR) fail(errno, "ftruncate");
}

void File::sync() const {
  if (fsync(fd_) != 0) fail(errno, "fsync");
}

int File::reserve([[maybe_unused]] std::uint64_t at, [[maybe_unused]] std::uint64_t n) const {
#ifdef __linux__
  while (fallocate(fd_, 0, static_cast<off_t>(at), static_cast<off_t>(n)) != 0) {
    const int error = errno;
    if (error == EINTR) continue;
    if (error == ENOSPC || error == EFBIG) return error;
    if (error == EOPNOTSUPP || error == ENOSYS || error == ENODEV || error == EINVAL) return kCannotReserve;
    fail(error, "fallocate");
  }
  return 0;
#else
  return kCannotReserve;  // macOS and others: no fallocate, so plain writes
#endif
}

unsigned char* File::map(std::uint64_t at, std::size_t n) const {
  void* p = mmap(nullptr, n, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, static_cast<off_t>(at));
  if (p != MAP_FAILED) return static_cast<unsigned char*>(p);
  const int error = errno;
  if (error == EOPNOTSUPP || error == ENOSYS || error == ENODEV || error == EINVAL || error == EACCES) return nullptr;
  fail(error, "mmap");
}

void File::unmap(unsigned char* p, std::size_t n) {
  if (p) munmap(p, n);
}

std::size_t File::page_size() { return static_cast<std::size_t>(sysconf(_SC_PAGESIZE)); }

#endif

}  // namespace swarmix::journal
