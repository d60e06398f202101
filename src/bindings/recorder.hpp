#pragma once
// A recorded objective: the frame answers evaluations from recorded data and appends a record
// of every live evaluation to a file, natively, so that recording costs no Python call per
// evaluation. A wrapper asks for it through the protocol (objective.hpp): the object its
// `__swarmix_start__` returns has `__swarmix_record__`, an object with these attributes:
// - `objective`: the plain objective (called once per point) to evaluate live;
// - `fd`, `end`: the open file (a C runtime descriptor on Windows) and the offset where new
//   records go (bytes past it are cut off at the first write); `mapped`: write through a
//   shared mapping of space reserved ahead where the platform can (else with plain writes); `sync`: 0 never flush, 1 after every evaluation, 2 after
//   every group;
// - `kinds` (bytes, one per recorded evaluation index: 0 a number, 1 or 2 a failure, 255 not
//   recorded), `points` (native doubles, d per index), `values` (native doubles, one per
//   index; the recorded numbers of a scalar fit);
// - `reply(index)`: what the objective gave at a recorded index that `values` does not hold:
//   a failure as the exception the fit met (logged as is), a vector as its list of values;
//   `mismatch(index)`: the error that fails the fit when the point asked for at a recorded index differs from the recorded one;
// - `closed(end, appended, evaluations)`: called when the fit is over, before the wrapper's
//   `__swarmix_end__`: where the records end, whether any was written, how many evaluations
//   the fit asked for.
// The recorder answers recorded evaluations (replay.hpp) and writes a record of each live one
// (journal_writer.hpp, on the file layer journal_file.hpp); the layout is in journal_format.hpp.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "bindings/adapters.hpp"
#include "bindings/journal_writer.hpp"
#include "bindings/replay.hpp"

namespace swarmix::py {

// An attribute of the `__swarmix_record__` object.
Ref record_attribute(PyObject* record, const char* name);

class Recorder {
 public:
  // `rows`: how a vector fit's rows are read (null for a scalar fit).
  Recorder(PyObject* record, std::size_t dimensions, RowLength* rows);
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
  Ref call(std::span<const double> point);
  // A failed live evaluation (the error pending): recorded and logged, or raised.
  void failed(std::size_t index, std::span<const double> point, bool strict, FailureLog* log, bool conversion);
  void replied_failure(PyObject* error, std::span<const double> point, bool strict, FailureLog* log);

  Ref record_, objective_;
  RowLength* rows_;
  Replay replay_;
  ArgumentList arguments_;
  std::size_t next_ = 0;  // the index of the next evaluation
  bool closed_ = false;
  std::optional<journal::Writer> writer_;
};

}  // namespace swarmix::py
