#include "bindings/journal_writer.hpp"

#include <algorithm>
#include <atomic>
#include <cstring>

namespace swarmix::journal {

Writer::Writer(int fd, std::uint64_t end, Sync sync, bool mapped, std::size_t dimensions, bool vector)
    : file_(fd), d_(dimensions), vector_(vector), sync_(sync), mapped_(mapped), end_(end) {}

Writer::~Writer() { unmap(); }

// A synced run is never written again (a frame rewritten in place may be lost with its
// rewrite when the machine fails): the next evaluation starts a new one.
void Writer::flush() {
  file_.sync();
  run_open_ = false;
}

void Writer::row(std::uint64_t index, std::span<const double> point, double value) {
  if (vector_) return evaluation(index, kNumber, point, std::span<const double>(&value, 1));
  buffer_.clear();
  const std::size_t row = (d_ + 1) * sizeof(double);
  const bool extend = run_open_ && run_next_ == index && run_length_ + row <= kLongestRun;
  if (!extend) {
    run_open_ = false;
    buffer_.push_back(kRunTag);
    put_le(buffer_, index);
  }
  put_doubles(buffer_, point);
  put_doubles(buffer_, std::span<const double>(&value, 1));
  if (extend) {
    reserve(buffer_.size());
    put(end_, buffer_.data(), buffer_.size());
    run_crc_ = crc32(run_crc_, buffer_.data(), buffer_.size());
    run_length_ += static_cast<std::uint32_t>(buffer_.size());
    end_ += buffer_.size();
  } else {
    reserve(kFrameHeaderSize + buffer_.size());
    run_open_ = true;
    run_at_ = end_;
    put(end_ + kFrameHeaderSize, buffer_.data(), buffer_.size());
    run_crc_ = crc32(0, buffer_.data(), buffer_.size());
    run_length_ = static_cast<std::uint32_t>(buffer_.size());
    end_ += kFrameHeaderSize + buffer_.size();
  }
  put_header(run_at_, run_length_, run_crc_);
  run_next_ = index + 1;
}

void Writer::evaluation(std::uint64_t index, Outcome outcome, std::span<const double> point,
                        std::span<const double> values, std::string_view text) {
  run_open_ = false;
  buffer_.clear();
  buffer_.push_back(kEvaluationsTag);
  put_le(buffer_, index);
  put_le(buffer_, std::uint32_t{1});
  buffer_.push_back(outcome);
  put_doubles(buffer_, point);
  if (vector_) put_le(buffer_, static_cast<std::uint32_t>(values.size()));
  if (outcome != kNumber && !vector_) put_le(buffer_, std::uint64_t{0});  // a failure's value: 0.0
  put_doubles(buffer_, values);
  if (outcome != kNumber) {
    put_le(buffer_, static_cast<std::uint32_t>(text.size()));
    buffer_.insert(buffer_.end(), text.begin(), text.end());
  }
  reserve(kFrameHeaderSize + buffer_.size());
  put(end_ + kFrameHeaderSize, buffer_.data(), buffer_.size());
  put_header(end_, static_cast<std::uint32_t>(buffer_.size()), crc32(0, buffer_.data(), buffer_.size()));
  end_ += kFrameHeaderSize + buffer_.size();
}

// Room for `n` more bytes at the end. The first write cuts off whatever follows the records.
// With a mapping, space is reserved ahead in growing chunks, so that a full disk is an
// OSError here and never a fault in a store; near a full disk a chunk halves until it fits,
// and the next one starts from the size that fitted: a few reservations, never one per row.
void Writer::reserve(std::size_t n) {
  if (!appended_) {
    file_.resize(end_);
    appended_ = true;
    reserved_ = end_;
  }
  const std::uint64_t needed = end_ + n;
  if (!mapped_ || needed <= reserved_) return;
  const std::uint64_t least = needed - reserved_;
  std::uint64_t grow = std::max(chunk_, least);
  int error;
  while ((error = file_.reserve(reserved_, grow)) > 0 && grow > least) grow = std::max(grow / 2, least);
  if (error == kCannotReserve) {
    unmap();
    mapped_ = false;
    return;
  }
  if (error) throw FileError{error, "fallocate"};
  chunk_ = grow >= chunk_ ? std::min(2 * chunk_, kLargestChunk) : std::max(grow, std::uint64_t{1});
  reserved_ += grow;
  map();
}

void Writer::map() {
  unmap();
  const std::uint64_t page = File::page_size();
  const std::uint64_t from = run_open_ ? run_at_ : end_;
  map_at_ = from - from % page;
  map_length_ = static_cast<std::size_t>(reserved_ - map_at_);
  map_ = file_.map(map_at_, map_length_);
  if (!map_) mapped_ = false;
}

void Writer::unmap() {
  File::unmap(map_, map_length_);
  map_ = nullptr;
}

void Writer::put(std::uint64_t at, const void* data, std::size_t n) {
  if (map_) {
    std::memcpy(map_ + (at - map_at_), data, n);
    return;
  }
  file_.write(at, data, n);
}

// The header goes last, in one store: until it is there the frame reads as a zero header.
void Writer::put_header(std::uint64_t at, std::uint32_t length, std::uint32_t crc) {
  const auto header = frame_header(length, crc);
  std::atomic_signal_fence(std::memory_order_seq_cst);
  put(at, header.data(), header.size());
}

void Writer::close() {
  if (closed_) return;
  closed_ = true;
  unmap();
  if (appended_ && reserved_ > end_) file_.resize(end_);
}

}  // namespace swarmix::journal
