#pragma once
// Replay: what a journal recorded, as the wrapper hands it over in `__swarmix_record__`
// (recorder.hpp): per index its outcome, its point (compared bit for bit with the point the fit
// asks for) and a scalar fit's number; anything else through the wrapper's `reply`.
#include <cstddef>
#include <cstring>
#include <span>

#include "bindings/journal_format.hpp"
#include "bindings/py.hpp"

namespace swarmix::py {

class Replay {
 public:
  Replay(PyObject* record, std::size_t dimensions, bool vector);

  // Whether `index` is recorded; a recorded point that differs from `point` in any bit fails
  // the fit with the wrapper's `mismatch` error.
  bool recorded(std::size_t index, std::span<const double> point) const {
    if (index >= n_ || kinds_at_[index] == journal::kNotRecorded) return false;
    if (std::memcmp(points_at_ + index * d_ * sizeof(double), point.data(), d_ * sizeof(double)) != 0)
      mismatch(index);
    return true;
  }
  journal::Outcome outcome(std::size_t index) const { return static_cast<journal::Outcome>(kinds_at_[index]); }
  // A scalar fit's recorded number.
  double number(std::size_t index) const {
    double v;
    std::memcpy(&v, values_at_ + index * sizeof(double), sizeof v);
    return v;
  }
  // A recorded failure (the exception the fit met) or a vector (its list of values).
  Ref reply(std::size_t index) const;

 private:
  [[noreturn]] void mismatch(std::size_t index) const;

  Ref kinds_, points_, values_, reply_, mismatch_;
  const unsigned char* kinds_at_;  // the bytes of kinds_, points_ and values_
  const char* points_at_;
  const char* values_at_;
  std::size_t d_;
  std::size_t n_;
};

}  // namespace swarmix::py
