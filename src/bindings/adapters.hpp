#pragma once
// The objective adapters: how a search's evaluations reach the user's Python objective.
// A plain objective gets one call per evaluation on a fresh list of floats; a group
// objective (one with a `__swarmix_group__` method) gets one call per group of points.
#include <cstddef>
#include <memory>
#include <span>
#include <vector>

#include "bindings/py.hpp"
#include "core/constraints.hpp"

namespace swarmix::py {

// Evaluations that failed during the search: how many, and the first one's error and point.
// Every fit keeps one (n_failures_, the warning that ends a fit with failures, a monitor's
// counts); only a failure writes to it.
class FailureLog {
 public:
  // `count` evaluations failed with `error` (the exception object, or null for a NaN value);
  // `point` is the first one's.
  void failed(std::size_t count, Ref error, std::span<const double> point);
  std::size_t n_failed = 0;
  Ref first_error;  // a ValueError for a NaN value
  std::vector<double> first_point;
};

// How the adapters read a value (to_value in convert.hpp), shared with the recorder
// (recorder.hpp). A value the search takes: a NaN counts as +inf, a failure like any other
// (the probe, in strict mode, passes a NaN through: it is a number).
double nan_failed(FailureLog* log, std::span<const double> point);  // +inf, logged
inline double searched(double v, bool strict, FailureLog* log, std::span<const double> point) {
  return v == v || strict ? v : nan_failed(log, point);
}

// The rows of a vector fit, one rule for every reader of a row (the per-point and group
// adapters, the journal's group reader, the recorder's live and replayed rows). A constrained
// fit's rows hold its objective values (one for a single-objective class; for a
// multi-objective class as many as the first row read, the probe's, has beyond the constraint
// values), then its n_constraints inequality and n_equalities equality values; an
// unconstrained fit's rows are as long as the first. A row of another length is a ValueError
// that ends the fit (marked as the fit's failure). A failed evaluation gives `fail()`: [+inf]
// in an unconstrained fit, +inf in every entry of a constrained one.
class RowLength {
 public:
  // `objectives`: 1 for a single-objective class, 0 when the first row tells.
  RowLength(std::size_t objectives, const ConstraintCounts& counts);
  // The length of a row that holds numbers: the first one fixes it where it is not known.
  void check(std::size_t length);
  // A row of numbers (the evaluation of `point`) as the search takes it: its length checked,
  // then (but for the probe, in strict mode, which passes it as it is) each NaN +inf in an
  // unconstrained fit, and in a constrained one a row with a NaN or infinity anywhere failed;
  // either is a failure for `log`.
  void take(std::vector<double>& row, bool strict, FailureLog* log, std::span<const double> point);
  // The row of a failed evaluation.
  void fail(std::vector<double>& row) const;

 private:
  std::size_t objectives_;
  ConstraintCounts counts_;
  std::size_t length_ = 0;  // once known (known_)
  bool known_ = false;
};

// The list handed to the objective. A list (and float) that nobody but this holder
// references after a call is indistinguishable from a new one, so it is refilled in place
// for the next call; anything the objective kept, resized or replaced is built afresh.
class ArgumentList {
 public:
  PyObject* fill(std::span<const double> position);

 private:
  Ref list_;
};

// Calls `callable` with a fresh list holding the position. In strict mode (the probe) every
// failure propagates as ErrorAlreadySet; otherwise an ordinary exception (a subclass of
// Exception), a non-number (a complex number included) or NaN counts as +inf and the search
// goes on (reported to `log` when there is one), while anything else (KeyboardInterrupt,
// SystemExit, ...), an exception for which `ends_fit` holds and pending signals stop the fit.
class ScalarAdapter {
 public:
  ScalarAdapter(PyObject* callable, ArgumentList* args, bool strict, FailureLog* log = nullptr)
      : callable_(callable), args_(args), strict_(strict), log_(log) {}
  double operator()(std::span<const double> position) const;

 private:
  PyObject* callable_;
  ArgumentList* args_;
  bool strict_;
  FailureLog* log_;
};

// The same for a vector-valued objective, its rows read by `rows` (a failure during the
// search gives its failed row).
class VectorAdapter {
 public:
  VectorAdapter(PyObject* callable, ArgumentList* args, RowLength* rows, bool strict, FailureLog* log = nullptr)
      : callable_(callable), args_(args), rows_(rows), strict_(strict), log_(log) {}
  std::vector<double> operator()(std::span<const double> position) const;

 private:
  PyObject* callable_;
  ArgumentList* args_;
  RowLength* rows_;
  bool strict_;
  FailureLog* log_;
};

// A group objective: `group(points)` receives the k points as a k x d memoryview of doubles
// (a fresh buffer per call) and returns k values (scalar searches) or k sequences of values
// (multi-objective searches), in point order. An entry that is not a number (or, for a
// vector, not a sequence of numbers) fails that point; an entry that is an exception object
// fails it with that error, and so do complex entries and the entries a masked result masks.
// A call that raises an ordinary exception fails the whole group; a result that is not a
// sequence (or buffer) of k entries is a ValueError that ends the fit, and so is an error for
// which `ends_fit` holds, raised or returned. The strict mode (the probe) raises every
// failure, as the plain adapters do.
class GroupAdapter {
 public:
  // `rows`: how a vector fit's rows are read (null for a scalar fit).
  GroupAdapter(PyObject* group, std::size_t dimensions, RowLength* rows, bool strict, FailureLog* log = nullptr)
      : group_(group), d_(dimensions), rows_(rows), strict_(strict), log_(log) {}
  void operator()(std::span<const double> points, std::span<double> values) const;
  void operator()(std::span<const double> points, std::span<std::vector<double>> values) const;

 private:
  // The call's result, or null after a failure of the whole group (values set to +inf).
  Ref call(std::span<const double> points, std::size_t k) const;
  // An entry that is an exception object: raised in strict mode, else reported to the log.
  void failed_with(PyObject* error, std::span<const double> point) const;
  PyObject* group_;
  std::size_t d_;
  RowLength* rows_;
  bool strict_;
  FailureLog* log_;
};

// The journal's reader of group results, handed to the wrappers in the fit's description
// ("read_group"): `read_group(result, k)` reads a group objective's result by the rules above
// and returns one entry per point: a float (a list of floats for a vector fit, a NaN as it
// is) for a number, `(1, error)` for an error entry (returned, or a masked entry's
// ValueError), `(2, error)` for an entry that is no number (the error converting it raised).
// A result that is not k entries, or a row of the wrong length, is the adapters' ValueError; an
// error that ends the fit (returned or raised while converting) and anything but an Exception
// is raised. `rows`: the vector fit's rows (shared with its adapters); null for a scalar fit.
Ref make_group_reader(std::shared_ptr<RowLength> rows);

}  // namespace swarmix::py
