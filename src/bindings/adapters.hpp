#pragma once
// The objective adapters: one Python call per evaluation, on a fresh list of floats.
#include <span>
#include <vector>

#include "bindings/py.hpp"

namespace swarmix::py {

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
// Exception) or a non-number counts as +inf and the search goes on, while anything else
// (KeyboardInterrupt, SystemExit, ...) and pending signals stop the fit.
class ScalarAdapter {
 public:
  ScalarAdapter(PyObject* callable, ArgumentList* args, bool strict)
      : callable_(callable), args_(args), strict_(strict) {}
  double operator()(std::span<const double> position) const;

 private:
  PyObject* callable_;
  ArgumentList* args_;
  bool strict_;
};

// The same for a vector-valued objective; a failure during the search yields [+inf].
class VectorAdapter {
 public:
  VectorAdapter(PyObject* callable, ArgumentList* args, bool strict)
      : callable_(callable), args_(args), strict_(strict) {}
  std::vector<double> operator()(std::span<const double> position) const;

 private:
  PyObject* callable_;
  ArgumentList* args_;
  bool strict_;
};

}  // namespace swarmix::py
