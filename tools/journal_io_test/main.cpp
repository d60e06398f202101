// The journal's file layer and writer, natively and without Python (src/bindings/journal_file.*,
// journal_writer.*): records written with plain writes and through a mapping of reserved space
// (the same bytes, the file cut to its records at close), a torn tail and a resume after it, the
// lock the Python side takes (held by one descriptor, refused to a second, the writer writing
// meanwhile), and every record read back from the file. Built and run by tools/journal-io-check,
// natively and for Windows under wine. Its files go in the current directory.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

#include "bindings/journal_file.hpp"
#include "bindings/journal_format.hpp"
#include "bindings/journal_writer.hpp"

using namespace swarmix::journal;

namespace {

int failures = 0;

#define CHECK(condition)                                                           \
  do {                                                                             \
    if (!(condition)) {                                                            \
      std::fprintf(stderr, "journal_io_test:%d: failed: %s\n", __LINE__, #condition); \
      ++failures;                                                                  \
    }                                                                              \
  } while (0)

constexpr std::size_t kDims = 3;

int open_file(const char* path) {
#ifdef _WIN32
  return _open(path, _O_RDWR | _O_CREAT | _O_TRUNC | _O_BINARY, _S_IREAD | _S_IWRITE);
#else
  return open(path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
#endif
}

int reopen(const char* path) {
#ifdef _WIN32
  return _open(path, _O_RDWR | _O_BINARY);
#else
  return open(path, O_RDWR | O_CLOEXEC);
#endif
}

void close_file(int fd) {
#ifdef _WIN32
  _close(fd);
#else
  close(fd);
#endif
}

// The lock the Python side takes: one byte at 2**62 with LockFile (msvcrt.locking) on
// Windows, flock on POSIX systems. True when taken, false when another descriptor holds it.
bool try_lock(int fd) {
#ifdef _WIN32
  const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  return LockFile(handle, 0, std::uint32_t{1} << 30, 1, 0) != 0;  // offset 2**62: high word 2**30
#else
  return flock(fd, LOCK_EX | LOCK_NB) == 0;
#endif
}

std::vector<unsigned char> contents(const char* path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A new journal: the preamble and a header frame, as the Python side writes them.
std::uint64_t start(const File& file) {
  std::vector<unsigned char> out(kMagic.begin(), kMagic.end());
  put_le(out, kVersion);
  std::vector<unsigned char> payload{kHeaderTag};
  const std::string json = R"({"class": "Test", "kind": "scalar"})";
  payload.insert(payload.end(), json.begin(), json.end());
  const auto header = frame_header(static_cast<std::uint32_t>(payload.size()), crc32(0, payload.data(), payload.size()));
  out.insert(out.end(), header.begin(), header.end());
  out.insert(out.end(), payload.begin(), payload.end());
  file.write(0, out.data(), out.size());
  return out.size();
}

// One evaluation as written and as read back.
struct Evaluation {
  std::uint64_t index;
  unsigned char outcome;
  double point[kDims];
  double value;
  std::string text;
  bool operator==(const Evaluation& o) const {
    return index == o.index && outcome == o.outcome && std::memcmp(point, o.point, sizeof point) == 0 &&
           std::memcmp(&value, &o.value, sizeof value) == 0 && text == o.text;
  }
};

Evaluation made(std::uint64_t i) {
  Evaluation e{i, kNumber, {0.5 * double(i), -1.0 / double(i + 1), double(i % 7)}, double(i) * double(i) - 3.25, {}};
  if (i % 13 == 5) {
    e.outcome = kError;
    e.value = 0.0;
    e.text = "ValueError: no value at " + std::to_string(i);
  }
  return e;
}

void record(Writer& writer, const Evaluation& e) {
  if (e.outcome == kNumber)
    writer.row(e.index, e.point, e.value);
  else
    writer.evaluation(e.index, static_cast<Outcome>(e.outcome), e.point, {}, e.text);
  writer.evaluated();
}

std::uint64_t u64(const unsigned char* p, int n) {
  std::uint64_t v = 0;
  for (int i = n - 1; i >= 0; --i) v = v << 8 | p[i];
  return v;
}

double f64(const unsigned char* p) {
  const std::uint64_t bits = u64(p, 8);
  double v;
  std::memcpy(&v, &bits, sizeof v);
  return v;
}

// The records of a scalar journal, read back; `end` is where the valid records end (a frame
// that runs past the file or fails its checksum there is a torn tail).
struct Read {
  bool valid_start = false;
  std::vector<Evaluation> evaluations;
  std::uint64_t end = 0;
  bool torn = false;
};

Read read_back(const std::vector<unsigned char>& data) {
  Read r;
  r.valid_start = data.size() >= kPreambleSize && std::memcmp(data.data(), kMagic.data(), kMagic.size()) == 0 &&
                  u64(data.data() + kMagic.size(), 4) == kVersion;
  if (!r.valid_start) return r;
  std::size_t at = kPreambleSize;
  bool header = true;
  while (at + kFrameHeaderSize <= data.size()) {
    const auto length = static_cast<std::size_t>(u64(&data[at], 4));
    const auto crc = static_cast<std::uint32_t>(u64(&data[at + 4], 4));
    if (length == 0 && crc == 0) break;
    if (at + kFrameHeaderSize + length > data.size() ||
        crc32(0, &data[at + kFrameHeaderSize], length) != crc) {
      r.torn = true;
      break;
    }
    const unsigned char* p = &data[at + kFrameHeaderSize];
    if (header) {
      CHECK(p[0] == kHeaderTag);
      header = false;
    } else if (p[0] == kRunTag) {
      const std::size_t row = (kDims + 1) * 8;
      CHECK((length - kRunPrefix) % row == 0);
      std::uint64_t index = u64(p + 1, 8);
      for (std::size_t k = kRunPrefix; k + row <= length; k += row) {
        Evaluation e{index++, kNumber, {}, f64(p + k + kDims * 8), {}};
        for (std::size_t j = 0; j < kDims; ++j) e.point[j] = f64(p + k + 8 * j);
        r.evaluations.push_back(e);
      }
    } else if (p[0] == kEvaluationsTag) {
      CHECK(u64(p + 9, 4) == 1);
      Evaluation e{u64(p + 1, 8), p[kEvaluationsPrefix], {}, 0.0, {}};
      std::size_t k = kEvaluationsPrefix + 1;
      for (std::size_t j = 0; j < kDims; ++j, k += 8) e.point[j] = f64(p + k);
      e.value = f64(p + k);
      k += 8;
      if (e.outcome != kNumber) {
        const auto n = static_cast<std::size_t>(u64(p + k, 4));
        e.text.assign(reinterpret_cast<const char*>(p + k + 4), n);
        k += 4 + n;
      }
      CHECK(k == length);
      r.evaluations.push_back(e);
    } else {
      CHECK(!"a known frame");
    }
    at += kFrameHeaderSize + length;
  }
  r.end = at;
  return r;
}

std::vector<Evaluation> expected(std::uint64_t from, std::uint64_t to) {
  std::vector<Evaluation> out;
  for (std::uint64_t i = from; i < to; ++i) out.push_back(made(i));
  return out;
}

// Writes evaluations [0, n) to `path` with the given sync and mapping; the file's bytes.
std::vector<unsigned char> write_journal(const char* path, std::uint64_t n, Sync sync, bool mapped) {
  const int fd = open_file(path);
  CHECK(fd >= 0);
  File file(fd);
  Writer writer(fd, start(file), sync, mapped, kDims, false);
  for (std::uint64_t i = 0; i < n; ++i) {
    record(writer, made(i));
    if (i % 10 == 9) writer.group_done();
  }
  writer.close();
  close_file(fd);
  auto data = contents(path);
  CHECK(data.size() == writer.end());  // reserved space is cut at close
  return data;
}

void written_and_read_back() {
  for (const Sync sync : {Sync::kNever, Sync::kEveryEvaluation, Sync::kEveryGroup}) {
    const auto data = write_journal("plain.swj", 100, sync, false);
    const Read r = read_back(data);
    CHECK(r.valid_start && !r.torn && r.end == data.size());
    CHECK(r.evaluations == expected(0, 100));
  }
  // Over a mebibyte through reserved space (several chunks; plain writes where nothing can be
  // mapped): the bytes of the plain writer, nothing past the records.
  const std::uint64_t n = 40000;
  const auto mapped = write_journal("mapped.swj", n, Sync::kNever, true);
  const auto plain = write_journal("plain.swj", n, Sync::kNever, false);
  CHECK(mapped.size() > (std::size_t{1} << 20));
  CHECK(mapped == plain);
  const Read r = read_back(mapped);
  CHECK(!r.torn && r.end == mapped.size() && r.evaluations == expected(0, n));
}

void torn_tail_and_resume() {
  const std::uint64_t n = 60;
  auto data = write_journal("torn.swj", n, Sync::kEveryGroup, false);
  const Read full = read_back(data);
  // The last frame starts where the records without it end.
  const std::size_t last = read_back(std::vector<unsigned char>(data.begin(), data.end() - 1)).end;
  CHECK(last < data.size());
  const int fd = reopen("torn.swj");
  CHECK(fd >= 0);
  File file(fd);
  const std::uint64_t cut = last + (data.size() - last) / 2;
  file.resize(cut);  // the process died writing the last frame
  const Read torn = read_back(contents("torn.swj"));
  CHECK(torn.torn && torn.end == last && contents("torn.swj").size() == cut);
  const std::size_t kept = torn.evaluations.size();
  CHECK(kept < n && torn.evaluations == expected(0, kept));
  // The resumed writer cuts the torn bytes off at its first write, then records the rest.
  Writer writer(fd, torn.end, Sync::kEveryGroup, false, kDims, false);
  for (std::uint64_t i = kept; i < n; ++i) record(writer, made(i));
  writer.group_done();
  writer.close();
  close_file(fd);
  const auto resumed = contents("torn.swj");
  const Read r = read_back(resumed);
  CHECK(!r.torn && r.end == resumed.size() && r.evaluations == full.evaluations);
}

void lock_held_while_writing() {
  const int fd = open_file("locked.swj");
  CHECK(fd >= 0);
  CHECK(try_lock(fd));
  const int other = reopen("locked.swj");
  CHECK(other >= 0);
  CHECK(!try_lock(other));  // a second writer is refused
  File file(fd);
  Writer writer(fd, start(file), Sync::kEveryEvaluation, false, kDims, false);
  for (std::uint64_t i = 0; i < 30; ++i) record(writer, made(i));
  writer.close();
  const auto data = contents("locked.swj");  // read by another handle while the lock is held
  const Read r = read_back(data);
  CHECK(!r.torn && r.end == data.size() && r.evaluations == expected(0, 30));
  CHECK(!try_lock(other));
  close_file(fd);  // releases the lock
  CHECK(try_lock(other));
  close_file(other);
}

// A write the system refuses (a descriptor open for reading) is a FileError with its errno.
void failures_are_errors() {
  close_file(open_file("read-only.swj"));
#ifdef _WIN32
  const int fd = _open("read-only.swj", _O_RDONLY | _O_BINARY);
#else
  const int fd = open("read-only.swj", O_RDONLY | O_CLOEXEC);
#endif
  CHECK(fd >= 0);
  int code = 0;
  try {
    const unsigned char byte = 1;
    File(fd).write(0, &byte, 1);
  } catch (const FileError& e) {
    code = e.code;
  }
  CHECK(code == EBADF || code == EACCES);
  close_file(fd);
}

}  // namespace

int main() {
  written_and_read_back();
  torn_tail_and_resume();
  lock_held_while_writing();
  failures_are_errors();
  for (const char* name : {"plain.swj", "mapped.swj", "torn.swj", "locked.swj", "read-only.swj"}) std::remove(name);
  if (failures) {
    std::fprintf(stderr, "journal_io_test: %d checks failed\n", failures);
    return 1;
  }
  std::printf("journal_io_test: all checks passed\n");
  return 0;
}
