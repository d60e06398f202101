// Pickling: (type, constructor arguments, fitted state), and the validation of an
// unpickled state, which is untrusted input.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "algorithms/tour.hpp"
#include "bindings/convert.hpp"
#include "bindings/estimator.hpp"

namespace swarmix::py {

namespace {

Ref optional_float(const std::optional<double>& v) {
  return v ? check(PyFloat_FromDouble(*v)) : Ref::borrow(Py_None);
}

}  // namespace

// (type, constructor arguments, fitted state): the arguments rebuild the hyperparameters
// exactly, the state restores what the last successful fit left.
PyObject* estimator_reduce(PyObject* self_obj, PyObject*) {
  return guarded([&]() -> PyObject* {
    Estimator* self = as_estimator(self_obj);
    ReadBorrow borrow(self);
    const ClassSpec& table = *self->table;
    const std::size_t n = table.params.size();
    Ref args = check(PyTuple_New(static_cast<Py_ssize_t>(n + 1)));
    for (std::size_t i = 0; i < n; ++i) {
      const Param& p = table.params[i];
      const ParamValue& v = self->values[i];
      PyObject* item = nullptr;
      if (v.none) item = Py_NewRef(Py_None);
      else switch (p.kind) {
        case ParamKind::Count: item = PyLong_FromUnsignedLongLong(v.count); break;
        case ParamKind::Real: item = PyFloat_FromDouble(v.real); break;
        case ParamKind::Bool: item = PyBool_FromLong(v.flag); break;
        case ParamKind::Choice: item = PyUnicode_FromString(p.choices[v.code]); break;
        case ParamKind::Rows: item = float_rows(*v.rows).release(); break;
      }
      if (!item) throw ErrorAlreadySet();
      PyTuple_SET_ITEM(args.get(), static_cast<Py_ssize_t>(i), item);
    }
    PyObject* seed = self->random_state ? PyLong_FromUnsignedLongLong(*self->random_state) : Py_NewRef(Py_None);
    if (!seed) throw ErrorAlreadySet();
    PyTuple_SET_ITEM(args.get(), static_cast<Py_ssize_t>(n), seed);

    // Every part is an owned reference until the tuples that take them exist: a failed
    // allocation anywhere releases what was built.
    const Fitted& f = self->fitted;
    std::vector<Ref> parts;
    parts.push_back(optional_float(f.best_value));
    parts.push_back(f.best_position ? float_list(*f.best_position) : Ref::borrow(Py_None));
    parts.push_back(float_list(f.history));
    parts.push_back(float_rows(f.population));
    parts.push_back(float_rows(f.archive_positions));
    parts.push_back(float_rows(f.archive_objectives));
    parts.push_back(f.persistent ? float_list(f.persistent->save()) : Ref::borrow(Py_None));
    // Parts that only some classes have come after the seven: the population's values
    // (ClassSpec::score_reference), then the per-run records (ClassSpec::run_fields).
    if (self->table->score_reference) parts.push_back(float_rows(f.population_values));
    if (!self->table->run_fields.empty()) parts.push_back(float_rows(f.runs));
    // Then the parts every class has that came later (a state without them still loads), and
    // those of the classes that handle constraints: the counts and the constraint values.
    parts.push_back(check(PyLong_FromSize_t(f.n_failures)));
    if (self->table->constraints) {
      parts.push_back(check(Py_BuildValue("(nn)", static_cast<Py_ssize_t>(f.constraints.inequalities),
                                          static_cast<Py_ssize_t>(f.constraints.equalities))));
      parts.push_back(float_rows(f.constraint_values));
    }
    Ref state = check(PyTuple_New(static_cast<Py_ssize_t>(parts.size())));
    for (std::size_t i = 0; i < parts.size(); ++i)
      PyTuple_SET_ITEM(state.get(), static_cast<Py_ssize_t>(i), parts[i].release());
    return check(PyTuple_Pack(3, reinterpret_cast<PyObject*>(Py_TYPE(self_obj)), args.get(), state.get())).release();
  });
}

namespace {

// A pickled state is untrusted input: whatever does not describe a state that the class's
// own fits could have left is refused with this one message.
[[noreturn]] void malformed_state() { raise_value_error("malformed pickled state"); }

// Converts one part of a pickled state; an ordinary conversion failure (a wrong type, an
// unfitting number) becomes the malformed-state error, with the original as its cause.
// MemoryError and what is not an Exception (KeyboardInterrupt) pass unchanged.
template <class F>
auto state_part(F&& convert) {
  try {
    return convert();
  } catch (const ErrorAlreadySet&) {
    if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError)) throw;
    Ref cause(PyErr_GetRaisedException());
    PyErr_SetString(PyExc_ValueError, "malformed pickled state");
    Ref error(PyErr_GetRaisedException());
    PyException_SetCause(error.get(), cause.release());
    PyErr_SetRaisedException(error.release());
    throw;
  }
}

// The largest constraint count a state may hold (a fit's counts are far below).
constexpr std::size_t kMaxCount = std::size_t{1} << 32;

bool same_bits(double a, double b) { return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b); }

bool same_row(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), same_bits);
}

// Whether the per-run records have the table's fields: one number each, a count a whole
// number from 1 (a run has a population and evaluations) below 2^53, a choice the position
// of one of its names; none without a fitted result, and some exactly when the history is not
// empty (a run makes generations; a fit that ends after its start has none).
bool sound_runs(const ClassSpec& table, const Fitted& f) {
  const std::vector<RunField>& fields = table.run_fields;
  if (!fields.empty() && ((!f.best_position && !f.runs.empty()) || f.runs.empty() != f.history.empty())) return false;
  return std::all_of(f.runs.begin(), f.runs.end(), [&](const std::vector<double>& row) {
    if (row.size() != fields.size()) return false;
    for (std::size_t i = 0; i < fields.size(); ++i) {
      const double v = row[i];
      std::size_t limit = std::size_t{1} << 53;
      if (fields[i].kind == ParamKind::Choice) {
        limit = 0;
        while (fields[i].choices[limit]) ++limit;
      }
      const double least = fields[i].kind == ParamKind::Count ? 1.0 : 0.0;
      if (fields[i].kind != ParamKind::Real && !(v >= least && v < static_cast<double>(limit) && v == std::floor(v)))
        return false;
    }
    return true;
  });
}

// Whether `f` is a state that fits of this class can leave: the shapes agree with each
// other (one dimension for every position, archive positions and objectives in pairs), a
// tour is a permutation of the cities, bits are 0 or 1, and the single-entry classes hold
// their best in history_ and population_.
bool sound(const ClassSpec& table, const Fitted& f) {
  if (!sound_runs(table, f) || !f.constraints_agree(table.fit_kind == FitKind::Multi)) return false;
  // Failures need evaluations of an objective.
  if (f.n_failures && (table.fit_kind == FitKind::Tour ||
                       (!f.best_position && f.population.empty() && f.archive_positions.empty())))
    return false;
  auto same_length = [](const std::vector<std::vector<double>>& rows, std::optional<std::size_t>& d) {
    for (const auto& row : rows) {
      if (row.empty() || (d && row.size() != *d)) return false;
      d = row.size();
    }
    return true;
  };
  std::optional<std::size_t> d;
  if (table.fit_kind == FitKind::Multi) {
    // Every objective vector has the objective's length, but a failed evaluation's [+inf].
    std::optional<std::size_t> m;
    auto objectives = [&](const std::vector<std::vector<double>>& rows) {
      return std::all_of(rows.begin(), rows.end(), [&](const std::vector<double>& row) {
        if (row.size() == 1 && row[0] == std::numeric_limits<double>::infinity()) return true;
        if (m && row.size() != *m) return false;
        m = row.size();
        return true;
      });
    };
    const bool values_agree = (table.score_reference ? f.population_values.size() == f.population.size()
                                                     : f.population_values.empty()) &&
                              objectives(f.archive_objectives) && objectives(f.population_values);
    return !f.best_value && !f.best_position && (table.has_history || f.history.empty()) && values_agree &&
           f.archive_positions.size() == f.archive_objectives.size() && same_length(f.population, d) &&
           same_length(f.archive_positions, d);
  }
  if (!f.archive_positions.empty() || !f.archive_objectives.empty()) return false;
  if (f.best_value.has_value() != f.best_position.has_value()) return false;
  const bool persistent_agrees = !f.persistent || f.persistent->agrees_with(f);
  if (!f.best_position) return f.history.empty() && f.population.empty() && persistent_agrees;
  const std::vector<double>& best = *f.best_position;
  d = best.size();
  if (best.empty() || !same_length(f.population, d)) return false;
  auto all_rows = [&](auto&& ok) {
    return ok(best) && std::all_of(f.population.begin(), f.population.end(), ok);
  };
  if (table.fit_kind == FitKind::Tour &&
      !all_rows([](const std::vector<double>& row) { return is_city_permutation(row); }))
    return false;
  if (table.fit_kind == FitKind::Binary && !all_rows([](const std::vector<double>& row) {
        return std::all_of(row.begin(), row.end(), [](double v) { return v == 0.0 || v == 1.0; });
      }))
    return false;
  if (table.single_entry && !(f.history.size() == 1 && same_bits(f.history[0], *f.best_value) &&
                              f.population.size() == 1 && same_row(f.population[0], best)))
    return false;
  return persistent_agrees;
}

}  // namespace

PyObject* estimator_setstate(PyObject* self_obj, PyObject* state) {
  return guarded([&]() -> PyObject* {
    Estimator* self = as_estimator(self_obj);
    WriteBorrow borrow(self);
    const bool has_values = self->table->score_reference;
    const bool has_runs = !self->table->run_fields.empty();
    // Then n_failures, in states pickled since it exists, and after it the constraint parts of
    // a class that handles constraints (a state pickled before they existed is unconstrained).
    const Py_ssize_t parts = 7 + has_values + has_runs;
    const Py_ssize_t size = PyTuple_Check(state) ? PyTuple_GET_SIZE(state) : -1;
    const bool has_constraints = self->table->constraints && size == parts + 3;
    if (size != parts && size != parts + 1 && !has_constraints) malformed_state();
    auto part = [&](Py_ssize_t i) { return PyTuple_GET_ITEM(state, i); };
    Fitted next;
    state_part([&] {
      if (part(0) != Py_None) next.best_value = to_real(part(0), nullptr);
      if (part(1) != Py_None) next.best_position = to_float_vec(part(1), nullptr);
      next.history = to_float_vec(part(2), nullptr);
      next.population = to_matrix(part(3), nullptr);
      next.archive_positions = to_matrix(part(4), nullptr);
      next.archive_objectives = to_matrix(part(5), nullptr);
      if (has_values) next.population_values = to_matrix(part(7), nullptr);
      if (has_runs) next.runs = to_matrix(part(has_values ? 8 : 7), nullptr);
      if (size > parts) next.n_failures = to_count(part(parts), nullptr);
      if (has_constraints) next.constraint_values = to_matrix(part(parts + 2), nullptr);
      return 0;
    });
    if (has_constraints) {
      const std::vector<std::size_t> counts = state_part([&] { return to_index_vec(part(parts + 1), nullptr); });
      if (counts.size() != 2 || counts[0] > kMaxCount || counts[1] > kMaxCount) malformed_state();
      next.constraints = {counts[0], counts[1]};
    }
    if (part(6) != Py_None) {
      std::vector<double> numbers = state_part([&] { return to_float_vec(part(6), nullptr); });
      if (self->table->load_persistent) next.persistent = self->table->load_persistent(numbers);
      if (!next.persistent) malformed_state();
    }
    if (!sound(*self->table, next)) malformed_state();
    self->fitted = std::move(next);
    Py_RETURN_NONE;
  });
}

}  // namespace swarmix::py
