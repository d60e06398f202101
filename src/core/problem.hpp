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
class VectorProblem {
 public:
  virtual ~VectorProblem() = default;
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

// A problem that hands every call to another: the wrappers of a problem derive from it and
// override only what they change.
class ForwardingProblem : public Problem {
 public:
  explicit ForwardingProblem(Problem& inner) : inner_(inner) {}
  double evaluate(std::span<const double> position) override { return inner_.evaluate(position); }
  void evaluate_group(std::span<const double> points, std::span<double> values) override {
    inner_.evaluate_group(points, values);
  }
  std::size_t dimensions() const override { return inner_.dimensions(); }
  bool is_discrete() const override { return inner_.is_discrete(); }
  const std::string& name() const override { return inner_.name(); }
  const Matrix* distance_matrix() const override { return inner_.distance_matrix(); }

 protected:
  Problem& inner_;
};

// The same for a vector-valued problem.
class ForwardingVectorProblem : public VectorProblem {
 public:
  explicit ForwardingVectorProblem(VectorProblem& inner) : inner_(inner) {}
  std::vector<double> evaluate(std::span<const double> position) override { return inner_.evaluate(position); }
  void evaluate_group(std::span<const double> points, std::span<std::vector<double>> values) override {
    inner_.evaluate_group(points, values);
  }
  std::size_t dimensions() const override { return inner_.dimensions(); }

 protected:
  VectorProblem& inner_;
};

// A position entry read as a city index: truncation toward zero, negative and NaN give 0,
// values at or beyond 2^64 saturate.
std::size_t to_city_index(double v);

}  // namespace swarmix
