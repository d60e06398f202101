#pragma once
// The one estimator frame. A class is declared by a ClassSpec table (name, docstrings,
// hyperparameters, fit kind, repr list) plus a run function that builds its core from the
// converted parameters and runs it. Everything else (argument parsing and conversion,
// the borrow flag, the probe, the objective adapters, the fitted record, predict / score /
// get_params / getters / repr, and error mapping) lives here, once.
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "algorithms/base.hpp"
#include "bindings/py.hpp"

namespace swarmix::py {

enum class ParamKind : std::uint8_t { Count, Real, Bool, Choice };

struct Param {
  const char* name;
  ParamKind kind;
  double default_value;                  // Count: exact whole number; Bool: 0 or 1; Choice: code
  const char* const* choices = nullptr;  // Choice: null-terminated names, code = position
};

// A converted hyperparameter.
union ParamValue {
  std::uint64_t count;
  double real;
  bool flag;
  std::uint32_t code;
};

// The hyperparameters of one object, as the run function sees them.
struct Params {
  const ParamValue* values;
  Seed random_state;
  std::uint64_t count(std::size_t i) const { return values[i].count; }
  double real(std::size_t i) const { return values[i].real; }
  bool flag(std::size_t i) const { return values[i].flag; }
  std::uint32_t code(std::size_t i) const { return values[i].code; }
};

struct Fitted;

// Long-lived core state that a class keeps across fits (AntColony). Copied before each fit
// and committed only on success.
struct Persistent {
  virtual ~Persistent() = default;
  virtual std::unique_ptr<Persistent> clone() const = 0;
  // The state as numbers, for pickling; ClassSpec::load_persistent reads it back.
  virtual std::vector<double> save() const { return {}; }
  // Whether the rest of a fitted state that holds this one could come from the same fits
  // (asked of a state restored by unpickling).
  virtual bool agrees_with(const Fitted&) const { return true; }
};

// What the object keeps from its last successful fit.
struct Fitted {
  std::optional<double> best_value;
  std::optional<std::vector<double>> best_position;  // tours: city indices written as floats
  std::vector<double> history;
  std::vector<std::vector<double>> population;
  std::vector<std::vector<double>> archive_positions;   // multi-objective classes
  std::vector<std::vector<double>> archive_objectives;
  std::unique_ptr<Persistent> persistent;

  Fitted() = default;
  Fitted(const Fitted& o);
  Fitted& operator=(Fitted&&) = default;

  // Take the best Solution (when there is one); `single_entry` also makes history and
  // population hold that one result.
  void take_best(const std::optional<Solution>& best, bool single_entry);
  // Take the best Solution and the run's own history and population.
  void take_run(RunResult&& run);
};

enum class FitKind : std::uint8_t {
  Continuous,  // fit(objective, lower, upper): midpoint probe, ContinuousProblem "objective"
  Binary,      // fit(objective, lower, upper): probe with zeros, the box gives only its length
  Multi,       // fit(objective, lower, upper): vector objective, midpoint probe, archive result
  Tour,        // fit(distance_matrix): checked square matrix, predict() returns ints
};

// What a run function receives; which members are set depends on the fit kind.
struct FitInput {
  const Bounds* bounds = nullptr;    // Continuous, Binary, Multi
  Problem* problem = nullptr;        // Continuous, Binary; Tour: DiscreteProblem "tsp"
  VectorProblem* vector = nullptr;   // Multi
  // Every kind: the checked points of `initial`, for the core's GivenStart (empty: none).
  Matrix initial;
};

// How many points `initial` may give a fit: the value of the count hyperparameter `param`, or
// what `of` makes of it; null `param`: one point, the fit's single start.
struct StartCapacity {
  const char* param = nullptr;
  std::size_t (*of)(std::size_t) = nullptr;
};

// Builds the core from `params`, runs it on `in` and stores the result into `out` (which
// starts as a copy of the object's current fitted state and is committed only on success).
using RunFn = Status (*)(const Params& params, FitInput& in, Fitted& out);

struct ClassSpec {
  const char* name;
  const char* doc;        // class docstring (without the signature)
  const char* signature;  // constructor text signature, "(n_particles=30, ..., random_state=None)"
  std::vector<Param> params;
  FitKind fit_kind;
  RunFn run;
  // Method descriptions after the signature line; null for signature-only docstrings.
  const char* fit_doc = nullptr;
  const char* predict_doc = nullptr;
  const char* score_doc = nullptr;
  const char* get_params_doc = nullptr;
  // Parameters listed by __repr__ (indices into `params`); none: the default repr.
  std::vector<std::size_t> repr = {};
  bool has_history = true;
  // history_ and population_ hold just the best value and the best position.
  bool single_entry = false;
  // Multi: score of a non-empty archive whose first objective vector has two entries.
  double (*archive_score)(const Fitted&) = nullptr;
  // Rebuilds the long-lived state from Persistent::save(); null result: malformed data (a
  // state that the class cannot have saved).
  std::unique_ptr<Persistent> (*load_persistent)(std::span<const double>) = nullptr;
  StartCapacity start = {};
};

// The number of estimator types in the registry, and the undoing of a failed module init:
// the types made since `mark` leave the registry.
std::size_t registered_types();
void retire_types_since(std::size_t mark) noexcept;

// Creates the heap type "swarmix._swarmix.<name>" for `table` (which must outlive the
// process): its module is the extension module, so pickle finds the class by name.
PyObject* make_type(const ClassSpec& table);

}  // namespace swarmix::py
