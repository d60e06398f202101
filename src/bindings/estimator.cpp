// The object and its readers: the fitted record, deallocation, predict, score,
// get_params, __repr__ and the getters.
#include <cmath>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "algorithms/pareto.hpp"
#include "bindings/convert.hpp"
#include "bindings/estimator.hpp"
#include "core/decimal.hpp"
#include "core/numeric.hpp"

namespace swarmix::py {

Fitted::Fitted(const Fitted& o)
    : best_value(o.best_value),
      best_position(o.best_position),
      history(o.history),
      population(o.population),
      archive_positions(o.archive_positions),
      archive_objectives(o.archive_objectives),
      population_values(o.population_values),
      runs(o.runs),
      persistent(o.persistent ? o.persistent->clone() : nullptr),
      n_failures(o.n_failures),
      constraints(o.constraints),
      constraint_values(o.constraint_values) {}

double Fitted::violation() const {
  double largest = 0.0;
  for (const auto& row : constraint_values)
    largest = nan_max(largest, swarmix::violation(row, constraints.inequalities));
  return largest;
}

bool Fitted::constraints_agree(bool multi) const {
  const std::size_t points = multi ? archive_positions.size() : best_position ? 1 : 0;
  if (constraint_values.size() != (constraints.any() ? points : 0)) return false;
  for (const auto& row : constraint_values) {
    if (row.size() != constraints.total()) return false;
    const bool failed = !finite_row(row);
    for (double v : row)
      if (v != v || (failed && v != std::numeric_limits<double>::infinity())) return false;
    if (!multi && failed != (best_value && *best_value == std::numeric_limits<double>::infinity())) return false;
  }
  return true;
}

void Fitted::take_best(const std::optional<Solution>& best, bool single_entry) {
  if (!best) return;
  best_value = best->value;
  best_position = best->position;
  if (!best->constraint_values.empty()) constraint_values.assign(1, best->constraint_values);
  if (single_entry) {
    history.assign(1, best->value.value_or(0.0));
    population.assign(1, best->position);
  }
}

void Fitted::take_run(RunResult&& run) {
  take_best(run.predict(), false);
  history = std::move(run.record.history);
  population = std::move(run.record.population);
}

[[noreturn]] void raise_value_error(const std::string& text) {
  PyErr_SetString(PyExc_ValueError, text.c_str());
  throw ErrorAlreadySet();
}

void estimator_dealloc(PyObject* self) {
  Estimator* e = as_estimator(self);
  PyTypeObject* type = Py_TYPE(self);
  if (e->table) {  // fully constructed
    std::destroy(e->values, e->values + kMaxParams);
    e->fitted.~Fitted();
    e->random_state.~Seed();
  }
  type->tp_free(self);
  Py_DECREF(type);
}

namespace {

[[noreturn]] void unfitted(const char* method) {
  raise_value_error(std::string("must call fit() before ") + method + "()");
}

// A hyperparameter as get_params reports it: a float, rows as lists of floats.
Ref param_value(const Param& p, const ParamValue& v) {
  switch (p.kind) {
    case ParamKind::Count: return check(PyFloat_FromDouble(static_cast<double>(v.count)));
    case ParamKind::Real: return check(PyFloat_FromDouble(v.real));
    case ParamKind::Bool: return check(PyFloat_FromDouble(v.flag ? 1.0 : 0.0));
    case ParamKind::Choice: return check(PyFloat_FromDouble(static_cast<double>(v.code)));
    case ParamKind::Rows: return float_rows(*v.rows);
  }
  return Ref::borrow(Py_None);
}

}  // namespace

PyObject* estimator_predict(PyObject* self_obj, PyObject*) {
  return guarded([&]() -> PyObject* {
    Estimator* self = as_estimator(self_obj);
    ReadBorrow borrow(self);
    const Fitted& f = self->fitted;
    switch (self->table->fit_kind) {
      case FitKind::Multi:
        if (f.archive_positions.empty()) unfitted("predict");
        return float_rows(f.archive_positions).release();
      case FitKind::Tour: {
        if (!f.best_position) unfitted("predict");
        std::vector<std::size_t> tour;
        tour.reserve(f.best_position->size());
        for (double v : *f.best_position) tour.push_back(to_city_index(v));
        return index_list<std::size_t>(tour).release();
      }
      default:
        if (!f.best_position) unfitted("predict");
        return float_list(*f.best_position).release();
    }
  });
}

namespace {

// The hypervolume of the archive against `given` (none: the population's maximum plus a
// tenth of its range, per objective, over the finite values; plus 1 where the range is 0, so
// that a single member or a constant objective still bounds a volume), in as many objectives
// as the longest archive vector has; 0.0 for an infeasible archive (a constrained fit's
// archive is feasible or infeasible as a whole).
double reference_hypervolume(const Fitted& f, const std::optional<std::vector<double>>& given) {
  std::size_t m = 0;
  for (const auto& row : f.archive_objectives) m = row.size() > m ? row.size() : m;
  std::vector<double> ref;
  if (given) {
    ref = *given;
    if (ref.size() != m)
      raise_value_error("reference must have " + std::to_string(m) + " values, one per objective, not " +
                        std::to_string(ref.size()));
    for (double r : ref)
      if (!std::isfinite(r)) raise_value_error("reference values must be finite");
  } else {
    ref.reserve(m);
    for (std::size_t j = 0; j < m; ++j) {
      double hi = -std::numeric_limits<double>::infinity(), lo = std::numeric_limits<double>::infinity();
      for (const auto& row : f.population_values) {
        if (row.size() <= j || !std::isfinite(row[j])) continue;
        hi = nan_max(hi, row[j]);
        lo = nan_min(lo, row[j]);
      }
      if (!(hi >= lo)) return 0.0;  // no finite value to bound
      ref.push_back(hi > lo ? hi + (hi - lo) * 0.1 : hi + 1.0);
    }
  }
  if (f.violation() != 0.0) return 0.0;
  return hypervolume(f.archive_objectives, ref);
}

}  // namespace

PyObject* estimator_score_reference(PyObject* self_obj, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    Estimator* self = as_estimator(self_obj);
    static const char* keywords[] = {"reference", nullptr};
    PyObject* reference = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:score", const_cast<char**>(keywords), &reference))
      throw ErrorAlreadySet();
    // Converted before the borrow: reading a sequence may run the caller's code.
    std::optional<std::vector<double>> given;
    if (reference != Py_None) given = to_float_vec(reference, "reference");
    ReadBorrow borrow(self);
    const Fitted& f = self->fitted;
    if (f.archive_objectives.empty()) unfitted("score");
    return PyFloat_FromDouble(reference_hypervolume(f, given));
  });
}

PyObject* estimator_score(PyObject* self_obj, PyObject*) {
  return guarded([&]() -> PyObject* {
    Estimator* self = as_estimator(self_obj);
    ReadBorrow borrow(self);
    const Fitted& f = self->fitted;
    if (self->table->fit_kind == FitKind::Multi) {
      if (f.archive_objectives.empty()) unfitted("score");
      if (f.archive_objectives.front().size() < 2) return PyFloat_FromDouble(0.0);
      return PyFloat_FromDouble(self->table->archive_score(f));
    }
    if (!f.best_value) unfitted("score");
    return PyFloat_FromDouble(*f.best_value);
  });
}

Ref params_dict(const Estimator* self) {
  Ref dict = check(PyDict_New());
  for (std::size_t i = 0; i < self->table->params.size(); ++i) {
    const Param& p = self->table->params[i];
    const ParamValue& v = self->values[i];
    Ref value = v.none ? Ref::borrow(Py_None) : param_value(p, v);
    if (PyDict_SetItemString(dict.get(), p.name, value.get()) < 0) throw ErrorAlreadySet();
  }
  return dict;
}

PyObject* estimator_get_params(PyObject* self_obj, PyObject*) {
  return guarded([&]() -> PyObject* {
    Estimator* self = as_estimator(self_obj);
    ReadBorrow borrow(self);
    return params_dict(self).release();
  });
}

PyObject* estimator_repr(PyObject* self_obj) {
  return guarded([&]() -> PyObject* {
    Estimator* self = as_estimator(self_obj);
    ReadBorrow borrow(self);
    const ClassSpec& table = *self->table;
    std::string text = std::string(table.name) + "(";
    const char* separator = "";
    for (std::size_t i = 0; i < table.params.size(); ++i) {
      const Param& p = table.params[i];
      if (!p.in_repr) continue;
      text += separator;
      separator = ", ";
      text += p.name;
      text += "=";
      if (self->values[i].none) {
        text += "None";
        continue;
      }
      switch (p.kind) {
        case ParamKind::Count: text += std::to_string(self->values[i].count); break;
        case ParamKind::Real: text += decimal_text(self->values[i].real); break;
        case ParamKind::Bool: text += self->values[i].flag ? "True" : "False"; break;
        case ParamKind::Choice: text += p.choices[self->values[i].code]; break;
        case ParamKind::Rows: {
          text += "[";
          for (std::size_t r = 0; r < self->values[i].rows->size(); ++r) {
            text += r ? ", [" : "[";
            const std::vector<double>& row = (*self->values[i].rows)[r];
            for (std::size_t j = 0; j < row.size(); ++j) text += (j ? ", " : "") + decimal_text(row[j]);
            text += "]";
          }
          text += "]";
          break;
        }
      }
    }
    text += ")";
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  });
}

PyObject* get_population(PyObject* self_obj, void*) {
  return guarded([&]() -> PyObject* {
    Estimator* self = as_estimator(self_obj);
    ReadBorrow borrow(self);
    return float_rows(self->fitted.population).release();
  });
}

PyObject* get_front_values(PyObject* self_obj, void*) {
  return guarded([&]() -> PyObject* {
    Estimator* self = as_estimator(self_obj);
    ReadBorrow borrow(self);
    return float_rows(self->fitted.archive_objectives).release();
  });
}

PyObject* get_runs(PyObject* self_obj, void*) {
  return guarded([&]() -> PyObject* {
    Estimator* self = as_estimator(self_obj);
    ReadBorrow borrow(self);
    const std::vector<RunField>& fields = self->table->run_fields;
    Ref list = check(PyList_New(0));
    for (const std::vector<double>& row : self->fitted.runs) {
      Ref entry = check(PyDict_New());
      for (std::size_t i = 0; i < fields.size(); ++i) {
        Ref value;
        switch (fields[i].kind) {
          case ParamKind::Count: value = check(PyLong_FromDouble(row[i])); break;
          case ParamKind::Choice:
            value = check(PyUnicode_FromString(fields[i].choices[static_cast<std::size_t>(row[i])]));
            break;
          default: value = check(PyFloat_FromDouble(row[i])); break;
        }
        if (PyDict_SetItemString(entry.get(), fields[i].name, value.get()) < 0) throw ErrorAlreadySet();
      }
      if (PyList_Append(list.get(), entry.get()) < 0) throw ErrorAlreadySet();
    }
    return list.release();
  });
}

PyObject* get_n_failures(PyObject* self_obj, void*) {
  return guarded([&]() -> PyObject* {
    Estimator* self = as_estimator(self_obj);
    ReadBorrow borrow(self);
    return PyLong_FromSize_t(self->fitted.n_failures);
  });
}

PyObject* get_feasible(PyObject* self_obj, void*) {
  return guarded([&]() -> PyObject* {
    Estimator* self = as_estimator(self_obj);
    ReadBorrow borrow(self);
    return PyBool_FromLong(self->fitted.violation() == 0.0);
  });
}

PyObject* get_violation(PyObject* self_obj, void*) {
  return guarded([&]() -> PyObject* {
    Estimator* self = as_estimator(self_obj);
    ReadBorrow borrow(self);
    return PyFloat_FromDouble(self->fitted.violation());
  });
}

PyObject* get_constraint_values(PyObject* self_obj, void*) {
  return guarded([&]() -> PyObject* {
    Estimator* self = as_estimator(self_obj);
    ReadBorrow borrow(self);
    const auto& rows = self->fitted.constraint_values;
    if (self->table->fit_kind == FitKind::Multi) return float_rows(rows).release();
    return (rows.empty() ? check(PyList_New(0)) : float_list(rows.front())).release();
  });
}

PyObject* get_history(PyObject* self_obj, void*) {
  return guarded([&]() -> PyObject* {
    Estimator* self = as_estimator(self_obj);
    ReadBorrow borrow(self);
    return float_list(self->fitted.history).release();
  });
}

}  // namespace swarmix::py
