#pragma once
// The one estimator frame. A class is declared by a ClassSpec table (name, docstrings,
// hyperparameters bound to the fields of its hyperparameter struct, fit kind) plus a run
// function that builds its core, sets it up with Params::apply and runs it. Everything else
// (argument parsing and conversion, the borrow flag, the probe, the objective adapters, the
// fitted record, predict / score / get_params / getters / repr, pickling and error mapping)
// lives in the frame's files (see estimator.hpp), once.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <typeinfo>
#include <vector>

#include "algorithms/base.hpp"
#include "bindings/py.hpp"

namespace swarmix::py {

enum class ParamKind : std::uint8_t { Count, Real, Bool, Choice, Rows };

// A converted hyperparameter.
struct ParamValue {
  union {
    std::uint64_t count;
    double real;
    bool flag;
    std::uint32_t code;
  };
  bool none = false;  // an optional hyperparameter left at None
  std::shared_ptr<const Matrix> rows;  // Rows: the rows (shared by the copies of the value)
};

// One hyperparameter: its Python name bound to its field in the algorithm's hyperparameter
// struct. The kind follows from the field's type (std::size_t: count, double: real, bool:
// flag, an enumeration: choice among `choices`, code = position, Matrix: rows of numbers,
// only as an optional one whose default is None), the default is the field's initialiser. The frame derives the text signature, get_params, __repr__ and the
// conversion from these entries.
struct Param {
  const char* name;
  ParamKind kind;
  ParamValue default_value;
  const char* const* choices;  // Choice: null-terminated names
  const std::type_info* owner;  // the hyperparameter struct
  std::function<void(void* owner, const ParamValue&)> store;
  bool in_repr = true;  // listed by __repr__ (for the classes that have one)
  bool optional = false;  // a std::optional field: None (std::nullopt) is a value too

  // The entry, left out of __repr__.
  Param unlisted() && {
    in_repr = false;
    return std::move(*this);
  }
};

namespace detail {
template <class T>
struct Optional {
  using type = T;
  static constexpr bool value = false;
};
template <class T>
struct Optional<std::optional<T>> {
  using type = T;
  static constexpr bool value = true;
};

template <class T>
constexpr ParamKind kind_of() {
  if constexpr (std::is_same_v<T, bool>) return ParamKind::Bool;
  else if constexpr (std::is_same_v<T, double>) return ParamKind::Real;
  else if constexpr (std::is_enum_v<T>) return ParamKind::Choice;
  else if constexpr (std::is_same_v<T, Matrix>) return ParamKind::Rows;
  else {
    static_assert(std::is_same_v<T, std::size_t>, "a hyperparameter is a std::size_t, double, bool or enum");
    return ParamKind::Count;
  }
}

template <class T>
ParamValue value_of(T v) {
  ParamValue out{};
  if constexpr (Optional<T>::value) {
    if (v) out = value_of(*v);
    else out.none = true;
  } else if constexpr (std::is_same_v<T, bool>) out.flag = v;
  else if constexpr (std::is_same_v<T, Matrix>) out.rows = std::make_shared<const Matrix>(std::move(v));
  else if constexpr (std::is_same_v<T, double>) out.real = v;
  else if constexpr (std::is_enum_v<T>) out.code = static_cast<std::uint32_t>(v);
  else out.count = v;
  return out;
}

template <class T>
T field_value(const ParamValue& v) {
  if constexpr (Optional<T>::value) {
    if (v.none) return std::nullopt;
    return field_value<typename Optional<T>::type>(v);
  } else if constexpr (std::is_same_v<T, bool>) return v.flag;
  else if constexpr (std::is_same_v<T, Matrix>) return *v.rows;
  else if constexpr (std::is_same_v<T, double>) return v.real;
  else if constexpr (std::is_enum_v<T>) return static_cast<T>(v.code);
  else return static_cast<T>(v.count);
}
}  // namespace detail

// A std::optional<T> field is an optional hyperparameter of T's kind: None stands for
// std::nullopt (its default when the field's initialiser is std::nullopt).
template <class S, class T>
  requires(!std::is_enum_v<T>)
Param param(const char* name, T S::*field) {
  Param p{name, detail::kind_of<typename detail::Optional<T>::type>(), detail::value_of(S{}.*field), nullptr,
          &typeid(S),
          [field](void* owner, const ParamValue& v) { static_cast<S*>(owner)->*field = detail::field_value<T>(v); }};
  p.optional = detail::Optional<T>::value;
  return p;
}

// A choice: `names` (null-terminated) in the order of the enumeration's values 0, 1, ...
template <class S, class E>
  requires std::is_enum_v<E>
Param param(const char* name, E S::*field, const char* const* names) {
  return {name, ParamKind::Choice, detail::value_of(S{}.*field), names, &typeid(S),
          [field](void* owner, const ParamValue& v) { static_cast<S*>(owner)->*field = detail::field_value<E>(v); }};
}

// What a fit gives every class alike, besides its problem: set on the search by Params::apply.
struct FitCommon {
  IterationObserver* observer = nullptr;  // the monitor, if any
  Matrix initial;                         // the checked points of `initial` (empty: none)
  ConstraintCounts constraints;           // n_constraints, n_equalities (none unless the class handles them)
  std::vector<bool> integer;              // the integer coordinates (empty: none; set only where handled)
};

// The hyperparameters of one object, as the run function sees them.
struct Params {
  const std::vector<Param>& table;
  const ParamValue* values;
  Seed random_state;

  // Sets the search's hyperparameters, its seed and what the fit gives every class.
  template <class Search>
  void apply(Search& search, const FitCommon& common) const {
    using Hyperparameters = typename Search::Hyperparameters;
    Hyperparameters& target = search;
    for (std::size_t i = 0; i < table.size(); ++i) {
      if (*table[i].owner != typeid(Hyperparameters)) throw InternalError("hyperparameters of another class");
      table[i].store(&target, values[i]);
    }
    SearchSettings& settings = search;
    settings.random_state = random_state;
    settings.observer = common.observer;
    settings.initial = common.initial;
    settings.constraints = common.constraints;
    settings.integer = common.integer;
  }
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

// A field of the records that a class keeps per run of its fit (runs_): a count, a real, or a
// choice among `choices` (null-terminated names, stored as the position). A record is one row
// of numbers, its fields in the table's order.
struct RunField {
  const char* name;
  ParamKind kind;
  const char* const* choices = nullptr;
};

// What the object keeps from its last successful fit.
struct Fitted {
  std::optional<double> best_value;
  std::optional<std::vector<double>> best_position;  // tours: city indices written as floats
  std::vector<double> history;
  std::vector<std::vector<double>> population;
  std::vector<std::vector<double>> archive_positions;   // multi-objective classes
  std::vector<std::vector<double>> archive_objectives;
  std::vector<std::vector<double>> population_values;  // ClassSpec::score_reference: population's objectives
  std::vector<std::vector<double>> runs;  // classes with ClassSpec::run_fields: a row per run
  std::unique_ptr<Persistent> persistent;
  std::size_t n_failures = 0;  // evaluations of the fit that failed (the frame sets it)
  // The last fit's constraint counts, and in a constrained fit the constraint values (g then h)
  // of the best point (one row) or of each archive point (a row per point, in archive order).
  ConstraintCounts constraints;
  std::vector<std::vector<double>> constraint_values;

  Fitted() = default;
  Fitted(const Fitted& o);
  Fitted& operator=(Fitted&&) = default;

  // The largest violation among the constraint_values rows: 0.0 when all are feasible (and
  // when there are none), +inf for a failed point.
  double violation() const;
  // Whether the constraint values agree with the counts and the result: none unless the fit
  // was constrained, else one row per result point (the best, or each archive point for a
  // `multi` class), each of counts.total() numbers with no NaN; a failed best's row (an
  // infinity in it) is +inf throughout, as its value is.
  bool constraints_agree(bool multi) const;

  // Take the best Solution (when there is one) and its constraint values; `single_entry` also
  // makes history and population hold that one result.
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
  VectorProblem* vector = nullptr;   // Multi, and a constrained fit of the other box kinds
  std::size_t n_objectives = 0;      // Multi: how many objective values the probe's row has
  FitCommon common;                  // every kind
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
  std::vector<Param> params;  // in signature order; random_state follows them
  FitKind fit_kind;
  RunFn run;
  // Method descriptions after the signature line; null for signature-only docstrings.
  const char* fit_doc = nullptr;
  const char* predict_doc = nullptr;
  const char* score_doc = nullptr;
  const char* get_params_doc = nullptr;
  // __repr__ lists the hyperparameters (those not `unlisted()`); false: the default repr.
  bool repr = false;
  bool has_history = true;
  // history_ and population_ hold just the best value and the best position.
  bool single_entry = false;
  // Multi: score of a non-empty archive whose first objective vector has two entries.
  double (*archive_score)(const Fitted&) = nullptr;
  // Multi, instead of archive_score: score(reference=None) is the exact hypervolume of the
  // archive against `reference`, by default the component-wise maximum of population_values
  // plus a tenth of their range. The fitted record keeps population_values, which pickle.
  bool score_reference = false;
  // Rebuilds the long-lived state from Persistent::save(); null result: malformed data (a
  // state that the class cannot have saved).
  std::unique_ptr<Persistent> (*load_persistent)(std::span<const double>) = nullptr;
  StartCapacity start = {};
  // Non-empty: the class keeps a record per run (Fitted::runs), read as runs_, one dict per run
  // with these keys, and pickled with the rest of the state.
  std::vector<RunField> run_fields = {};
  // The class handles constraints (fit's n_constraints and n_equalities) / integer coordinates
  // (fit's integer); the other classes refuse them. A constrained fit of a single-objective
  // class gets its objective as FitInput::vector, rows [value, g..., h...].
  bool constraints = false;
  bool integers = false;
};

// The names of the classes whose table sets `flag` (ClassSpec::constraints, ::integers), in
// module order: "A", "A and B", "A, B and C".
std::string classes_with(bool ClassSpec::*flag);

// The number of estimator types in the registry, and the undoing of a failed module init:
// the types made since `mark` leave the registry.
std::size_t registered_types();
void retire_types_since(std::size_t mark) noexcept;

// Creates the heap type "swarmix._swarmix.<name>" for `table` (which must outlive the
// process): its module is the extension module, so pickle finds the class by name.
PyObject* make_type(const ClassSpec& table);

}  // namespace swarmix::py
