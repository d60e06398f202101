// Pickling: (type, constructor arguments, fitted state), and the validation of an
// unpickled state, which is untrusted input.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
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

bool same_bits(double a, double b) { return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b); }

bool same_row(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), same_bits);
}

// Whether the per-run records have the table's fields: one number each, a count a whole
// number below 2^53, a choice the position of one of its names; none without a fitted result.
bool sound_runs(const ClassSpec& table, const Fitted& f) {
  if (!f.best_position && !f.runs.empty()) return false;
  const std::vector<RunField>& fields = table.run_fields;
  return std::all_of(f.runs.begin(), f.runs.end(), [&](const std::vector<double>& row) {
    if (row.size() != fields.size()) return false;
    for (std::size_t i = 0; i < fields.size(); ++i) {
      const double v = row[i];
      std::size_t limit = std::size_t{1} << 53;
      if (fields[i].kind == ParamKind::Choice) {
        limit = 0;
        while (fields[i].choices[limit]) ++limit;
      }
      if (fields[i].kind != ParamKind::Real && !(v >= 0.0 && v < static_cast<double>(limit) && v == std::floor(v)))
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
  if (!sound_runs(table, f)) return false;
  auto same_length = [](const std::vector<std::vector<double>>& rows, std::optional<std::size_t>& d) {
    for (const auto& row : rows) {
      if (row.empty() || (d && row.size() != *d)) return false;
      d = row.size();
    }
    return true;
  };
  std::optional<std::size_t> d;
  if (table.fit_kind == FitKind::Multi) {
    const bool values_agree = table.score_reference
                                  ? f.population_values.size() == f.population.size() &&
                                        std::all_of(f.population_values.begin(), f.population_values.end(),
                                                    [](const auto& row) { return !row.empty(); })
                                  : f.population_values.empty();
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
    const Py_ssize_t parts = 7 + has_values + has_runs;
    if (!PyTuple_Check(state) || PyTuple_GET_SIZE(state) != parts) malformed_state();
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
      return 0;
    });
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
