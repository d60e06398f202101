#include "bindings/objective.hpp"

#include <cmath>
#include <string>

namespace swarmix::py {

namespace {

const std::string kObjectiveName = "objective";

// The attribute, or null when the object has none.
Ref optional_attribute(PyObject* obj, const char* name) {
  PyObject* value = PyObject_GetAttrString(obj, name);
  if (!value) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw ErrorAlreadySet();
    PyErr_Clear();
  }
  return Ref(value);
}

class PointProblem final : public Problem {
 public:
  PointProblem(ScalarAdapter adapter, std::size_t d) : adapter_(adapter), d_(d) {}
  double evaluate(std::span<const double> position) override { return adapter_(position); }
  std::size_t dimensions() const override { return d_; }
  bool is_discrete() const override { return false; }
  const std::string& name() const override { return kObjectiveName; }

 private:
  ScalarAdapter adapter_;
  std::size_t d_;
};

class GroupProblem final : public Problem {
 public:
  GroupProblem(GroupAdapter adapter, std::size_t d) : adapter_(adapter), d_(d) {}
  double evaluate(std::span<const double> position) override {
    double value;
    adapter_(position, std::span<double>(&value, 1));
    return value;
  }
  void evaluate_group(std::span<const double> points, std::span<double> values) override { adapter_(points, values); }
  std::size_t dimensions() const override { return d_; }
  bool is_discrete() const override { return false; }
  const std::string& name() const override { return kObjectiveName; }

 private:
  GroupAdapter adapter_;
  std::size_t d_;
};

class VectorPointProblem final : public VectorProblem {
 public:
  VectorPointProblem(VectorAdapter adapter, std::size_t d) : adapter_(adapter), d_(d) {}
  std::vector<double> evaluate(std::span<const double> position) override { return adapter_(position); }
  std::size_t dimensions() const override { return d_; }

 private:
  VectorAdapter adapter_;
  std::size_t d_;
};

class VectorGroupProblem final : public VectorProblem {
 public:
  VectorGroupProblem(GroupAdapter adapter, std::size_t d) : adapter_(adapter), d_(d) {}
  std::vector<double> evaluate(std::span<const double> position) override {
    std::vector<double> value;
    adapter_(position, std::span<std::vector<double>>(&value, 1));
    return value;
  }
  void evaluate_group(std::span<const double> points, std::span<std::vector<double>> values) override {
    adapter_(points, values);
  }
  std::size_t dimensions() const override { return d_; }

 private:
  GroupAdapter adapter_;
  std::size_t d_;
};

class RecordedProblem final : public Problem {
 public:
  RecordedProblem(Recorder& recorder, std::size_t d, FailureLog* log) : recorder_(recorder), d_(d), log_(log) {}
  double evaluate(std::span<const double> position) override {
    const double value = recorder_.evaluate(position, false, log_);
    recorder_.group_done();
    return value;
  }
  void evaluate_group(std::span<const double> points, std::span<double> values) override {
    for (std::size_t k = 0; k < values.size(); ++k) values[k] = recorder_.evaluate(points.subspan(k * d_, d_), false, log_);
    recorder_.group_done();
  }
  std::size_t dimensions() const override { return d_; }
  bool is_discrete() const override { return false; }
  const std::string& name() const override { return kObjectiveName; }

 private:
  Recorder& recorder_;
  std::size_t d_;
  FailureLog* log_;
};

class RecordedVectorProblem final : public VectorProblem {
 public:
  RecordedVectorProblem(Recorder& recorder, std::size_t d, FailureLog* log) : recorder_(recorder), d_(d), log_(log) {}
  std::vector<double> evaluate(std::span<const double> position) override {
    std::vector<double> value = recorder_.evaluate_vector(position, false, log_);
    recorder_.group_done();
    return value;
  }
  void evaluate_group(std::span<const double> points, std::span<std::vector<double>> values) override {
    for (std::size_t k = 0; k < values.size(); ++k)
      values[k] = recorder_.evaluate_vector(points.subspan(k * d_, d_), false, log_);
    recorder_.group_done();
  }
  std::size_t dimensions() const override { return d_; }

 private:
  Recorder& recorder_;
  std::size_t d_;
  FailureLog* log_;
};

}  // namespace

// ---------------------------------------------------------------- monitors

// The frame's side of a monitor: the counts it keeps during the fit and the calls that hand
// them over at the boundaries and at the end.
class MonitorBridge final : public IterationObserver {
 public:
  // `scalar`: a single-objective class, whose best the bridge keeps (under Deb's order in a
  // fit constrained by `constraints`); `log` the fit's failures.
  MonitorBridge(Ref boundary, bool scalar, const ConstraintCounts& constraints, const FailureLog& log)
      : log_(log), boundary_(std::move(boundary)), scalar_(scalar), constraints_(constraints) {}

  std::size_t n_evaluations = 0;

  // A search's evaluation: the best one is kept (the probe only checks the objective).
  void count(std::span<const double> position, double value) { count(position, Standing{value, 0.0}); }
  void count(std::span<const double> position, const Standing& standing) {
    ++n_evaluations;
    if (has_best_ && !better(standing, best_)) return;
    has_best_ = true;
    best_ = standing;
    best_position_.assign(position.begin(), position.end());
    best_list_ = Ref();
  }
  // A vector fit's evaluation: a constrained single-objective row counts by its standing.
  void count_row(std::span<const double> position, const std::vector<double>& row) {
    if (scalar_) count(position, standing_of(row, constraints_));
    else ++n_evaluations;
  }

  bool iteration_done(std::size_t completed, std::size_t planned, double best, bool feasible) override {
    Ref args[4] = {check(PyLong_FromSize_t(completed)), check(PyLong_FromSize_t(planned)),
                   std::isnan(best) || !feasible ? Ref::borrow(Py_None) : check(PyFloat_FromDouble(best)),
                   counts()};
    PyObject* raw[5] = {nullptr, args[0].get(), args[1].get(), args[2].get(), args[3].get()};
    Ref result = check(PyObject_Vectorcall(boundary_.get(), raw + 1, 4 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    const int stop = PyObject_IsTrue(result.get());
    if (stop < 0) throw ErrorAlreadySet();
    return stop != 0;
  }

  // (n_evaluations, n_failed, first_error, best_value, best_position); the position list is
  // built again only when the best point changed.
  Ref counts() {
    Ref best_value = has_best_ && scalar_ ? check(PyFloat_FromDouble(best_.value)) : Ref::borrow(Py_None);
    if (!best_list_) best_list_ = has_best_ && scalar_ ? float_list(best_position_) : Ref::borrow(Py_None);
    PyObject* first_error = log_.first_error ? log_.first_error.get() : Py_None;
    return check(Py_BuildValue("(nnONO)", static_cast<Py_ssize_t>(n_evaluations),
                               static_cast<Py_ssize_t>(log_.n_failed), first_error, best_value.release(),
                               best_list_.get()));
  }

 private:
  const FailureLog& log_;  // the fit's
  Ref boundary_;
  Ref best_list_;  // best_position_ as handed over last
  bool scalar_;
  ConstraintCounts constraints_;
  bool has_best_ = false;
  Standing best_;
  std::vector<double> best_position_;
};

namespace {

class MonitoredProblem final : public ForwardingProblem {
 public:
  MonitoredProblem(Problem& inner, MonitorBridge& monitor) : ForwardingProblem(inner), monitor_(monitor) {}
  double evaluate(std::span<const double> position) override {
    const double value = inner_.evaluate(position);
    monitor_.count(position, value);
    return value;
  }
  void evaluate_group(std::span<const double> points, std::span<double> values) override {
    inner_.evaluate_group(points, values);
    const std::size_t d = inner_.dimensions();
    for (std::size_t k = 0; k < values.size(); ++k) monitor_.count(points.subspan(k * d, d), values[k]);
  }

 private:
  MonitorBridge& monitor_;
};

class MonitoredVectorProblem final : public ForwardingVectorProblem {
 public:
  MonitoredVectorProblem(VectorProblem& inner, MonitorBridge& monitor)
      : ForwardingVectorProblem(inner), monitor_(monitor) {}
  std::vector<double> evaluate(std::span<const double> position) override {
    std::vector<double> value = inner_.evaluate(position);
    monitor_.count_row(position, value);
    return value;
  }
  void evaluate_group(std::span<const double> points, std::span<std::vector<double>> values) override {
    inner_.evaluate_group(points, values);
    const std::size_t d = inner_.dimensions();
    for (std::size_t k = 0; k < values.size(); ++k) monitor_.count_row(points.subspan(k * d, d), values[k]);
  }

 private:
  MonitorBridge& monitor_;
};

}  // namespace

// ---------------------------------------------------------------- the fit's objective

FitObjective::FitObjective(PyObject* objective, std::size_t dimensions, bool multi, const ConstraintCounts& constraints,
                           const std::function<Ref(Ref)>& describe)
    : dimensions_(dimensions),
      rows_(multi || constraints.any() ? std::make_shared<RowLength>(multi ? 0 : 1, constraints) : nullptr),
      vector_(rows_ != nullptr) {
  Ref start = optional_attribute(objective, "__swarmix_start__");
  Ref boundary;
  if (start) {
    boundary = optional_attribute(objective, "__swarmix_boundary__");
    Ref end = optional_attribute(objective, "__swarmix_end__");
    Ref fit = describe(make_group_reader(rows_));
    objective_ = check(PyObject_CallOneArg(start.get(), fit.get()));
    end_ = std::move(end);  // started: it is ended whatever happens next
  } else {
    objective_ = Ref::borrow(objective);
  }
  try {
    if (boundary) monitor_ = std::make_unique<MonitorBridge>(std::move(boundary), !multi, constraints, failures_);
    if (Ref record = optional_attribute(objective_.get(), "__swarmix_record__"))
      recorder_ = std::make_unique<Recorder>(record.get(), dimensions, rows_.get());
    else
      group_ = optional_attribute(objective_.get(), "__swarmix_group__");
    make_problems();
  } catch (...) {
    set_error_from_current_exception();
    fail();
    throw ErrorAlreadySet();
  }
}

void FitObjective::make_problems() {
  const std::size_t dimensions = dimensions_;
  FailureLog* log = &failures_;
  if (vector_) {
    if (recorder_)
      vector_problem_ = std::make_unique<RecordedVectorProblem>(*recorder_, dimensions, log);
    else if (group_)
      vector_problem_ = std::make_unique<VectorGroupProblem>(
          GroupAdapter{group_.get(), dimensions, rows_.get(), false, log}, dimensions);
    else
      vector_problem_ = std::make_unique<VectorPointProblem>(
          VectorAdapter{objective_.get(), &arguments_, rows_.get(), false, log}, dimensions);
    if (monitor_) monitored_vector_ = std::make_unique<MonitoredVectorProblem>(*vector_problem_, *monitor_);
  } else {
    if (recorder_)
      problem_ = std::make_unique<RecordedProblem>(*recorder_, dimensions, log);
    else if (group_)
      problem_ =
          std::make_unique<GroupProblem>(GroupAdapter{group_.get(), dimensions, nullptr, false, log}, dimensions);
    else
      problem_ = std::make_unique<PointProblem>(ScalarAdapter{objective_.get(), &arguments_, false, log}, dimensions);
    if (monitor_) monitored_ = std::make_unique<MonitoredProblem>(*problem_, *monitor_);
  }
}

FitObjective::~FitObjective() = default;

void FitObjective::end_with(PyObject* error) {
  ended_ = true;
  Ref end = std::move(end_);
  if (!end) return;
  Ref counts = monitor_ ? monitor_->counts() : Ref::borrow(Py_None);
  PyObject* args[] = {counts.get(), error ? error : Py_None};
  check(PyObject_Vectorcall(end.get(), args, 2, nullptr));
}

// The recorder's file is cut to its records before the wrapper hears the fit ended.
void FitObjective::end() {
  if (ended_) return;
  try {
    if (recorder_) recorder_->close();
  } catch (const ErrorAlreadySet&) {
    fail();
    throw;
  }
  end_with(nullptr);
}

void FitObjective::fail() {
  if (ended_) return;
  // The fit's own error stays the one raised; a failing end is reported as unraisable.
  PyObject* error = PyErr_GetRaisedException();
  try {
    if (recorder_) recorder_->close();
  } catch (const ErrorAlreadySet&) {
    PyErr_WriteUnraisable(nullptr);
  }
  try {
    end_with(error);
  } catch (const ErrorAlreadySet&) {
    PyErr_WriteUnraisable(nullptr);
  } catch (...) {
  }
  PyErr_SetRaisedException(error);
}

IterationObserver* FitObjective::observer() { return monitor_.get(); }

std::size_t FitObjective::probe(std::span<const double> point) {
  if (monitor_) ++monitor_->n_evaluations;
  if (recorder_) {
    std::size_t values = 0;
    if (vector_)
      values = recorder_->evaluate_vector(point, true, nullptr).size();
    else
      recorder_->evaluate(point, true, nullptr);
    recorder_->group_done();
    return values;
  }
  if (group_) {
    // A point without coordinates cannot be handed over as a k x 0 view; such a box is
    // refused by the search right after.
    if (dimensions_ == 0) return 0;
    GroupAdapter strict{group_.get(), dimensions_, rows_.get(), true};
    if (vector_) {
      std::vector<double> value;
      strict(point, std::span<std::vector<double>>(&value, 1));
      return value.size();
    }
    double value;
    strict(point, std::span<double>(&value, 1));
    return 0;
  }
  if (vector_) return VectorAdapter{objective_.get(), &arguments_, rows_.get(), true}(point).size();
  ScalarAdapter{objective_.get(), &arguments_, true}(point);
  return 0;
}

}  // namespace swarmix::py
