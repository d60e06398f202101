#pragma once
// A recorded objective: the frame answers evaluations from recorded data and appends a record
// of every live evaluation to a file, natively, so that recording costs no Python call per
// evaluation. A wrapper asks for it through the protocol (objective.hpp): the object its
// `__swarmix_start__` returns has `__swarmix_record__`, an object with these attributes:
// - `objective`: the plain objective (called once per point) to evaluate live;
// - `fd`, `end`: the open file and the offset where new records go (bytes past it are cut
//   off at the first write); `mapped`: write through a shared mapping of space reserved
//   ahead (else with plain writes); `sync`: 0 never flush, 1 after every evaluation, 2 after
//   every group;
// - `kinds` (bytes, one per recorded evaluation index: 0 a number, 1 or 2 a failure, 255 not
//   recorded), `points` (native doubles, d per index), `values` (native doubles, one per
//   index; the recorded numbers of a scalar fit);
// - `reply(index)`: what the objective gave at a recorded index that `values` does not hold:
//   a failure as the exception the fit met (logged as is), a vector as its list of values; `mismatch(index)`: the error that fails the
//   fit when the point asked for at a recorded index differs from the recorded one;
// - `closed(end, appended, evaluations)`: called when the fit is over, before the wrapper's
//   `__swarmix_end__`: where the records end, whether any was written, how many evaluations
//   the fit asked for.
// Records: a number of a scalar fit extends the current run ("R": first index, then rows of
// point and value); anything else is an evaluation record ("E") of its own. A frame's header
// is written after its payload, so a reader meets either a complete frame or a zero header.
#include <cstddef>
#include <cstdint>
#include <span>
#include <sys/types.h>
#include <vector>

#include "bindings/adapters.hpp"

namespace swarmix::py {

class Recorder {
 public:
  Recorder(PyObject* record, std::size_t dimensions, bool vector);
  ~Recorder();
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;

  PyObject* objective() const { return objective_.get(); }
  double evaluate(std::span<const double> point, bool strict, FailureLog* log);
  std::vector<double> evaluate_vector(std::span<const double> point, bool strict, FailureLog* log);
  // A group of evaluations is complete (sync after every group).
  void group_done();
  // Cut the file to its records and tell the wrapper (once; the fit is over).
  void close();

 private:
  // The recorded answer at `index` (null: not recorded); a differing point fails the fit.
  bool recorded(std::size_t index, std::span<const double> point);
  Ref call(std::span<const double> point);
  // A failed live evaluation (the error pending): recorded and logged, or raised.
  void failed(std::size_t index, std::span<const double> point, bool strict, FailureLog* log, bool conversion);
  // A recorded failure or vector: the wrapper's reply (a failure's error, a vector's values).
  Ref reply(std::size_t index);
  void replied_failure(PyObject* error, bool strict, FailureLog* log);

  // The file.
  void record_row(std::size_t index, std::span<const double> point, double value);
  void record_frame(std::size_t index, unsigned char tag, std::span<const double> point, std::span<const double> values,
                    PyObject* text);
  void reserve(std::size_t n);
  void map();
  void unmap();
  void put(off_t at, const void* data, std::size_t n);
  void put_header(off_t at, std::uint32_t length, std::uint32_t crc);
  void after_evaluation();

  Ref record_, objective_, kinds_, points_, values_, reply_, mismatch_;
  std::size_t d_;
  bool vector_;
  ArgumentList arguments_;
  std::size_t next_ = 0;  // the index of the next evaluation
  int fd_;
  int sync_;
  bool mapped_;
  bool appended_ = false;
  bool closed_ = false;
  off_t end_;
  off_t reserved_ = 0;  // the file's length while space is reserved ahead
  unsigned char* map_ = nullptr;
  off_t map_at_ = 0;
  std::size_t map_length_ = 0;
  off_t run_at_ = -1;  // the open run's frame, if any
  std::size_t run_next_ = 0;
  std::uint32_t run_length_ = 0, run_crc_ = 0;
  std::vector<unsigned char> buffer_;
};

}  // namespace swarmix::py
