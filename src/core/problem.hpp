#pragma once
#include <cstddef>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace swarmix {

using Matrix = std::vector<std::vector<double>>;

// What a search tells the owner of its objective between iterations. A search calls
// iteration_done at every iteration boundary: once after its initial population
// (completed = 0), then after each iteration (completed = 1 .. planned), with its best value
// so far (NaN for the searches that have no single best). When it returns true the search
// stops there and finishes exactly as after its last planned iteration.
class IterationObserver {
 public:
  virtual ~IterationObserver() = default;
  virtual bool iteration_done(std::size_t completed, std::size_t planned, double best) {
    (void)completed, (void)planned, (void)best;
    return false;
  }
};

// The objective being minimised.
class Problem : public IterationObserver {
 public:
  virtual double evaluate(std::span<const double> position) = 0;
  // Evaluates a group of points: `values.size()` rows of dimensions() coordinates, stored
  // one after another in `points`, in row order. A search asks for a group only where none
  // of its points depends on the value of another, so the group gives exactly the values of
  // evaluating its points one by one, which is what this default does.
  virtual void evaluate_group(std::span<const double> points, std::span<double> values);
  virtual std::size_t dimensions() const = 0;
  virtual bool is_discrete() const = 0;
  virtual const std::string& name() const = 0;
  virtual const Matrix* distance_matrix() const { return nullptr; }
};

// A scalar objective over real vectors (in Python: the objective adapter).
using ScalarObjective = std::function<double(std::span<const double>)>;
// A vector-valued objective (multi-objective classes).
using VectorObjective = std::function<std::vector<double>(std::span<const double>)>;

// A vector-valued objective (the multi-objective searches), with the same group rule.
class VectorProblem : public IterationObserver {
 public:
  virtual std::vector<double> evaluate(std::span<const double> position) = 0;
  // The values of `values.size()` rows of dimensions() coordinates, in row order.
  virtual void evaluate_group(std::span<const double> points, std::span<std::vector<double>> values);
  virtual std::size_t dimensions() const = 0;
};

class FunctionVectorProblem final : public VectorProblem {
 public:
  FunctionVectorProblem(VectorObjective objective, std::size_t dimensions)
      : objective_(std::move(objective)), dimensions_(dimensions) {}
  std::vector<double> evaluate(std::span<const double> position) override { return objective_(position); }
  std::size_t dimensions() const override { return dimensions_; }

 private:
  VectorObjective objective_;
  std::size_t dimensions_;
};

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
