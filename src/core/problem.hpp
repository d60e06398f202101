#pragma once
#include <cstddef>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace swarmix {

using Matrix = std::vector<std::vector<double>>;

// The objective being minimised.
class Problem {
 public:
  virtual ~Problem() = default;
  virtual double evaluate(std::span<const double> position) = 0;
  virtual std::size_t dimensions() const = 0;
  virtual bool is_discrete() const = 0;
  virtual const std::string& name() const = 0;
  virtual const Matrix* distance_matrix() const { return nullptr; }
};

// A scalar objective over real vectors (in Python: the objective adapter).
using ScalarObjective = std::function<double(std::span<const double>)>;
// A vector-valued objective (multi-objective classes).
using VectorObjective = std::function<std::vector<double>(std::span<const double>)>;

class ContinuousProblem final : public Problem {
 public:
  ContinuousProblem(std::string name, ScalarObjective objective, std::size_t dimensions)
      : name_(std::move(name)), objective_(std::move(objective)), dimensions_(dimensions) {}
  double evaluate(std::span<const double> position) override { return objective_(position); }
  std::size_t dimensions() const override { return dimensions_; }
  bool is_discrete() const override { return false; }
  const std::string& name() const override { return name_; }

 private:
  std::string name_;
  ScalarObjective objective_;
  std::size_t dimensions_;
};

// A tour problem given by a square distance matrix; a position holds city indices as f64.
class DiscreteProblem final : public Problem {
 public:
  DiscreteProblem(std::string name, Matrix matrix) : name_(std::move(name)), matrix_(std::move(matrix)) {}
  // Closed tour length of the position read as a tour; +inf when an index is out of range.
  double evaluate(std::span<const double> position) override;
  std::size_t dimensions() const override { return matrix_.size(); }
  bool is_discrete() const override { return true; }
  const std::string& name() const override { return name_; }
  const Matrix* distance_matrix() const override { return &matrix_; }

 private:
  std::string name_;
  Matrix matrix_;
};

// A position entry read as a city index: truncation toward zero, negative and NaN give 0,
// values at or beyond 2^64 saturate.
std::size_t to_city_index(double v);

}  // namespace swarmix
