#pragma once
// Errors of the core layer: ordinary failures are values (OptimizationError inside a
// Status); a broken invariant throws InternalError, which only the binding boundary catches.
#include <cstddef>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include "core/portable.hpp"

namespace swarmix {

class OptimizationError {
 public:
  enum class Kind { InvalidInput, Convergence, DimensionMismatch };

  OptimizationError(Kind kind, std::string message) : kind_(kind), message_(std::move(message)) {}

  static OptimizationError invalid_input(std::string m) { return {Kind::InvalidInput, std::move(m)}; }
  static OptimizationError convergence(std::string m) { return {Kind::Convergence, std::move(m)}; }
  static OptimizationError dimension_mismatch(std::string m) {
    return {Kind::DimensionMismatch, std::move(m)};
  }

  Kind kind() const { return kind_; }
  const std::string& message() const { return message_; }

  // The kind prefix immediately followed by the message.
  std::string display() const {
    switch (kind_) {
      case Kind::InvalidInput: return "Invalid input: " + message_;
      case Kind::Convergence: return "Convergence error: " + message_;
      case Kind::DimensionMismatch: return "Dimension mismatch: " + message_;
    }
    return message_;
  }

 private:
  Kind kind_;
  std::string message_;
};

// Outcome of a fit: empty on success.
using Status = std::optional<OptimizationError>;

// A broken internal invariant (an index out of range, an empty sampling range, missing
// operating-system entropy).
class InternalError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// a * b for a buffer size; an overflowing product is an allocation that cannot succeed.
inline std::size_t checked_mul(std::size_t a, std::size_t b) {
  std::size_t product;
  if (portable::mul_overflow(a, b, &product)) throw std::bad_alloc();
  return product;
}

}  // namespace swarmix
