#include "bindings/recorder.hpp"

#include <array>
#include <atomic>
#include <bit>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <sys/mman.h>
#include <unistd.h>

#include "bindings/convert.hpp"

namespace swarmix::py {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr unsigned char kNumber = 0, kError = 1, kNotANumber = 2, kNotRecorded = 255;
constexpr off_t kChunk = 1 << 20;                   // space reserved ahead at a time
constexpr std::uint32_t kLongestRun = 1u << 30;  // payload bytes of one run

// CRC-32 (zlib's), eight bytes at a time.
using CrcTables = std::array<std::array<std::uint32_t, 256>, 8>;
constexpr CrcTables make_crc_tables() {
  CrcTables t{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    t[0][i] = c;
  }
  for (std::size_t s = 1; s < 8; ++s)
    for (std::size_t i = 0; i < 256; ++i) t[s][i] = (t[s - 1][i] >> 8) ^ t[0][t[s - 1][i] & 0xff];
  return t;
}
constexpr CrcTables kCrc = make_crc_tables();

std::uint32_t crc32(std::uint32_t crc, const unsigned char* p, std::size_t n) {
  std::uint32_t c = ~crc;
  for (; n >= 8; p += 8, n -= 8) {
    const std::uint32_t lo = (std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
                              std::uint32_t(p[3]) << 24) ^ c;
    c = kCrc[7][lo & 0xff] ^ kCrc[6][(lo >> 8) & 0xff] ^ kCrc[5][(lo >> 16) & 0xff] ^ kCrc[4][lo >> 24] ^
        kCrc[3][p[4]] ^ kCrc[2][p[5]] ^ kCrc[1][p[6]] ^ kCrc[0][p[7]];
  }
  while (n--) c = kCrc[0][(c ^ *p++) & 0xff] ^ (c >> 8);
  return ~c;
}

template <class T>
void put_le(std::vector<unsigned char>& out, T value) {
  static_assert(std::is_integral_v<T>);
  for (std::size_t i = 0; i < sizeof(T); ++i) out.push_back(static_cast<unsigned char>(value >> (8 * i)));
}

void put_doubles(std::vector<unsigned char>& out, std::span<const double> values) {
  if constexpr (std::endian::native == std::endian::little) {
    const auto* p = reinterpret_cast<const unsigned char*>(values.data());
    out.insert(out.end(), p, p + values.size() * sizeof(double));
  } else {
    for (double v : values) put_le(out, std::bit_cast<std::uint64_t>(v));
  }
}

Ref attribute(PyObject* obj, const char* name) { return check(PyObject_GetAttrString(obj, name)); }

Ref bytes_attribute(PyObject* obj, const char* name) {
  Ref value = attribute(obj, name);
  if (!PyBytes_Check(value.get())) {
    PyErr_Format(PyExc_TypeError, "__swarmix_record__.%s must be bytes", name);
    throw ErrorAlreadySet();
  }
  return value;
}

long long int_attribute(PyObject* obj, const char* name) {
  Ref value = attribute(obj, name);
  const long long v = PyLong_AsLongLong(value.get());
  if (v == -1 && PyErr_Occurred()) throw ErrorAlreadySet();
  return v;
}

[[noreturn]] void raise_os_error(int error) {
  errno = error;
  PyErr_SetFromErrno(PyExc_OSError);
  throw ErrorAlreadySet();
}

// Reserving or mapping space is not supported here: write with plain writes instead.
bool unsupported(int error) { return error == EOPNOTSUPP || error == ENOSYS || error == ENODEV || error == EINVAL; }

}  // namespace

Recorder::Recorder(PyObject* record, std::size_t dimensions, bool vector)
    : record_(Ref::borrow(record)), d_(dimensions), vector_(vector) {
  objective_ = attribute(record, "objective");
  kinds_ = bytes_attribute(record, "kinds");
  points_ = bytes_attribute(record, "points");
  values_ = bytes_attribute(record, "values");
  reply_ = attribute(record, "reply");
  mismatch_ = attribute(record, "mismatch");
  fd_ = static_cast<int>(int_attribute(record, "fd"));
  end_ = static_cast<off_t>(int_attribute(record, "end"));
  sync_ = static_cast<int>(int_attribute(record, "sync"));
  mapped_ = int_attribute(record, "mapped") != 0;
  const auto n = static_cast<std::size_t>(PyBytes_GET_SIZE(kinds_.get()));
  if (static_cast<std::size_t>(PyBytes_GET_SIZE(points_.get())) != n * d_ * sizeof(double) ||
      static_cast<std::size_t>(PyBytes_GET_SIZE(values_.get())) != (vector ? 0 : n * sizeof(double))) {
    PyErr_SetString(PyExc_ValueError, "__swarmix_record__: kinds, points and values differ in length");
    throw ErrorAlreadySet();
  }
}

Recorder::~Recorder() { unmap(); }

// ---------------------------------------------------------------- evaluations

bool Recorder::recorded(std::size_t index, std::span<const double> point) {
  const auto n = static_cast<std::size_t>(PyBytes_GET_SIZE(kinds_.get()));
  if (index >= n || reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(kinds_.get()))[index] == kNotRecorded)
    return false;
  const char* at = PyBytes_AS_STRING(points_.get()) + index * d_ * sizeof(double);
  if (std::memcmp(at, point.data(), d_ * sizeof(double)) != 0) {
    Ref index_obj = check(PyLong_FromSize_t(index));
    Ref error = check(PyObject_CallOneArg(mismatch_.get(), index_obj.get()));
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
    throw ErrorAlreadySet();
  }
  return true;
}

Ref Recorder::call(std::span<const double> point) {
  if (PyErr_CheckSignals() < 0) throw ErrorAlreadySet();
  PyObject* args[2] = {nullptr, arguments_.fill(point)};
  return Ref(PyObject_Vectorcall(objective_.get(), args + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

Ref Recorder::reply(std::size_t index) {
  Ref index_obj = check(PyLong_FromSize_t(index));
  return check(PyObject_CallOneArg(reply_.get(), index_obj.get()));
}

void Recorder::replied_failure(PyObject* error, bool strict, FailureLog* log) {
  if (!PyExceptionInstance_Check(error)) {
    PyErr_SetString(PyExc_TypeError, "__swarmix_record__.reply() must give an exception for a recorded failure");
    throw ErrorAlreadySet();
  }
  if (strict) {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error)), error);
    throw ErrorAlreadySet();
  }
  if (log) log->failed(1, Ref::borrow(error));
}

void Recorder::failed(std::size_t index, std::span<const double> point, bool strict, FailureLog* log,
                      bool conversion) {
  if (strict || !PyErr_ExceptionMatches(PyExc_Exception)) throw ErrorAlreadySet();
  Ref error(PyErr_GetRaisedException());
  if (ends_fit(error.get())) {
    PyErr_SetRaisedException(error.release());
    throw ErrorAlreadySet();
  }
  // A result that is not a number keeps its conversion error's message; an error its type too.
  const bool not_a_number = conversion && PyErr_GivenExceptionMatches(error.get(), PyExc_TypeError);
  Ref text;
  if (not_a_number) {
    text = check(PyObject_Str(error.get()));
  } else {
    Ref type_name = check(PyType_GetName(Py_TYPE(error.get())));
    text = check(PyUnicode_FromFormat("%U: %S", type_name.get(), error.get()));
  }
  record_frame(index, not_a_number ? kNotANumber : kError, point, {}, text.get());
  if (log) log->failed(1, std::move(error));
}

double Recorder::evaluate(std::span<const double> point, bool strict, FailureLog* log) {
  const std::size_t index = next_++;
  if (recorded(index, point)) {
    if (PyBytes_AS_STRING(kinds_.get())[index] == kNumber) {
      double v;
      std::memcpy(&v, PyBytes_AS_STRING(values_.get()) + index * sizeof(double), sizeof v);
      return searched(v, strict, log);
    }
    Ref answer = reply(index);
    replied_failure(answer.get(), strict, log);
    return kInf;
  }
  Ref result = call(point);
  double v = kInf;
  bool ok = false;
  if (result) {
    if (PyFloat_CheckExact(result.get())) {
      v = PyFloat_AS_DOUBLE(result.get());
      ok = true;
    } else if (!is_complex(result.get())) {
      v = PyFloat_AsDouble(result.get());
      ok = !(v == -1.0 && PyErr_Occurred());
    }
  }
  if (!ok) {
    failed(index, point, strict, log, static_cast<bool>(result));
    after_evaluation();
    return kInf;
  }
  record_row(index, point, v);
  after_evaluation();
  return searched(v, strict, log);
}

std::vector<double> Recorder::evaluate_vector(std::span<const double> point, bool strict, FailureLog* log) {
  const std::size_t index = next_++;
  Ref result;
  const bool replayed = recorded(index, point);
  if (replayed) {
    result = reply(index);
    if (PyExceptionInstance_Check(result.get())) {
      replied_failure(result.get(), strict, log);
      return {kInf};
    }
  } else {
    result = call(point);
  }
  std::vector<double> values;
  bool ok = false;
  if (result) {
    try {
      values = to_float_vec(result.get(), nullptr);
      ok = true;
    } catch (const ErrorAlreadySet&) {
    }
  }
  if (!ok) {
    if (replayed) throw ErrorAlreadySet();  // recorded values are numbers
    failed(index, point, strict, log, static_cast<bool>(result));
    after_evaluation();
    return {kInf};
  }
  if (!replayed) {
    record_frame(index, kNumber, point, values, nullptr);
    after_evaluation();
  }
  searched(values, strict, log);
  return values;
}

// ---------------------------------------------------------------- the file

// A synced run is never written again (a frame rewritten in place may be lost with its
// rewrite when the machine fails): the next evaluation starts a new one.
void Recorder::after_evaluation() {
  if (sync_ != 1) return;
  if (fsync(fd_) != 0) raise_os_error(errno);
  run_at_ = -1;
}

void Recorder::group_done() {
  if (sync_ != 2 || !appended_) return;
  if (fsync(fd_) != 0) raise_os_error(errno);
  run_at_ = -1;
}

void Recorder::record_row(std::size_t index, std::span<const double> point, double value) {
  if (vector_) return record_frame(index, kNumber, point, std::span<const double>(&value, 1), nullptr);
  buffer_.clear();
  const std::size_t row = (d_ + 1) * sizeof(double);
  const bool extend = run_at_ >= 0 && run_next_ == index && run_length_ + row <= kLongestRun;
  if (!extend) {
    run_at_ = -1;
    buffer_.push_back('R');
    put_le(buffer_, static_cast<std::uint64_t>(index));
  }
  put_doubles(buffer_, point);
  put_doubles(buffer_, std::span<const double>(&value, 1));
  if (extend) {
    reserve(buffer_.size());
    put(end_, buffer_.data(), buffer_.size());
    run_crc_ = crc32(run_crc_, buffer_.data(), buffer_.size());
    run_length_ += static_cast<std::uint32_t>(buffer_.size());
    end_ += static_cast<off_t>(buffer_.size());
  } else {
    reserve(8 + buffer_.size());
    run_at_ = end_;
    put(end_ + 8, buffer_.data(), buffer_.size());
    run_crc_ = crc32(0, buffer_.data(), buffer_.size());
    run_length_ = static_cast<std::uint32_t>(buffer_.size());
    end_ += static_cast<off_t>(8 + buffer_.size());
  }
  put_header(run_at_, run_length_, run_crc_);
  run_next_ = index + 1;
}

void Recorder::record_frame(std::size_t index, unsigned char tag, std::span<const double> point,
                            std::span<const double> values, PyObject* text) {
  run_at_ = -1;
  buffer_.clear();
  buffer_.push_back('E');
  put_le(buffer_, static_cast<std::uint64_t>(index));
  put_le(buffer_, std::uint32_t{1});
  buffer_.push_back(tag);
  put_doubles(buffer_, point);
  if (vector_) put_le(buffer_, static_cast<std::uint32_t>(values.size()));
  if (values.empty() && !vector_) put_le(buffer_, std::uint64_t{0});  // a failure's value: 0.0
  put_doubles(buffer_, values);
  if (text) {
    Ref encoded = check(PyUnicode_AsEncodedString(text, "utf-8", "backslashreplace"));
    const auto n = static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get()));
    put_le(buffer_, static_cast<std::uint32_t>(n));
    const char* p = PyBytes_AS_STRING(encoded.get());
    buffer_.insert(buffer_.end(), p, p + n);
  }
  reserve(8 + buffer_.size());
  put(end_ + 8, buffer_.data(), buffer_.size());
  put_header(end_, static_cast<std::uint32_t>(buffer_.size()), crc32(0, buffer_.data(), buffer_.size()));
  end_ += static_cast<off_t>(8 + buffer_.size());
}

// Room for `n` more bytes at the end. The first write cuts off whatever follows the records;
// with a mapping, space is reserved a chunk at a time (only what is needed when a chunk does
// not fit), so that a full disk is an OSError here and never a fault in a store.
void Recorder::reserve(std::size_t n) {
  if (!appended_) {
    if (ftruncate(fd_, end_) != 0) raise_os_error(errno);
    appended_ = true;
    reserved_ = end_;
  }
  const off_t needed = end_ + static_cast<off_t>(n);
  if (!mapped_ || needed <= reserved_) return;
  int error = 0;
#ifdef __linux__
  off_t grow = std::max<off_t>(kChunk, needed - reserved_);
  if (fallocate(fd_, 0, reserved_, grow) != 0) {
    error = errno;
    if (error == ENOSPC || error == EFBIG) {
      grow = needed - reserved_;
      error = fallocate(fd_, 0, reserved_, grow) != 0 ? errno : 0;
    }
  }
#else
  const off_t grow = 0;
  error = EOPNOTSUPP;
#endif
  if (error) {
    if (!unsupported(error)) raise_os_error(error);
    unmap();
    mapped_ = false;
    return;
  }
  reserved_ += grow;
  map();
}

void Recorder::map() {
  unmap();
  const off_t page = sysconf(_SC_PAGESIZE);
  const off_t from = run_at_ >= 0 ? run_at_ : end_;
  map_at_ = from - from % page;
  map_length_ = static_cast<std::size_t>(reserved_ - map_at_);
  void* p = mmap(nullptr, map_length_, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, map_at_);
  if (p == MAP_FAILED) {
    const int error = errno;
    if (!unsupported(error) && error != EACCES) raise_os_error(error);
    mapped_ = false;
    return;
  }
  map_ = static_cast<unsigned char*>(p);
}

void Recorder::unmap() {
  if (map_) munmap(map_, map_length_);
  map_ = nullptr;
}

void Recorder::put(off_t at, const void* data, std::size_t n) {
  if (map_) {
    std::memcpy(map_ + (at - map_at_), data, n);
    return;
  }
  const auto* p = static_cast<const unsigned char*>(data);
  while (n) {
    const ssize_t written = pwrite(fd_, p, n, at);
    if (written < 0) {
      if (errno == EINTR) continue;
      raise_os_error(errno);
    }
    p += written;
    at += written;
    n -= static_cast<std::size_t>(written);
  }
}

// The header goes last, in one store: until it is there the frame reads as a zero header.
void Recorder::put_header(off_t at, std::uint32_t length, std::uint32_t crc) {
  unsigned char header[8];
  for (int i = 0; i < 4; ++i) {
    header[i] = static_cast<unsigned char>(length >> (8 * i));
    header[4 + i] = static_cast<unsigned char>(crc >> (8 * i));
  }
  std::atomic_signal_fence(std::memory_order_seq_cst);
  put(at, header, sizeof header);
}

void Recorder::close() {
  if (closed_) return;
  closed_ = true;
  unmap();
  if (appended_ && reserved_ > end_ && ftruncate(fd_, end_) != 0) raise_os_error(errno);
  Ref closed = attribute(record_.get(), "closed");
  Ref result = check(PyObject_CallFunction(closed.get(), "LOn", static_cast<long long>(end_),
                                           appended_ ? Py_True : Py_False, static_cast<Py_ssize_t>(next_)));
}

}  // namespace swarmix::py
