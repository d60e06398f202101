#include "bindings/frame.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <new>
#include <string>

#include "algorithms/tour.hpp"
#include "bindings/adapters.hpp"
#include "bindings/convert.hpp"
#include "bindings/objective.hpp"
#include "core/decimal.hpp"
#include "core/interrupt.hpp"

namespace swarmix::py {

// ---------------------------------------------------------------- fitted record

Fitted::Fitted(const Fitted& o)
    : best_value(o.best_value),
      best_position(o.best_position),
      history(o.history),
      population(o.population),
      archive_positions(o.archive_positions),
      archive_objectives(o.archive_objectives),
      persistent(o.persistent ? o.persistent->clone() : nullptr) {}

void Fitted::take_best(const std::optional<Solution>& best, bool single_entry) {
  if (!best) return;
  best_value = best->value;
  best_position = best->position;
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

namespace {

constexpr std::size_t kMaxParams = 16;

// ---------------------------------------------------------------- the object

struct Estimator {
  PyObject_HEAD
  const ClassSpec* table;
  int borrow;  // 0 free, > 0 readers, -1 the writer (fit)
  ParamValue values[kMaxParams];
  Seed random_state;
  Fitted fitted;
};

// Per-type storage that must live as long as the type: class table, methods, keywords.
struct TypeInfo {
  const ClassSpec* table;
  PyTypeObject* type = nullptr;
  std::string class_doc, fit_doc, predict_doc, score_doc, get_params_doc;
  std::string qualified_name, ctor_format;
  std::vector<char*> ctor_keywords;
  PyMethodDef methods[7];
  PyGetSetDef getset[4];
};

// The registry: one entry per live estimator type. Each TypeInfo stays at one address,
// since its type's method and getter tables point into it.
std::vector<std::unique_ptr<TypeInfo>>& type_infos() {
  static std::vector<std::unique_ptr<TypeInfo>> infos;
  return infos;
}

const TypeInfo& info_of(PyTypeObject* type) {
  for (const auto& info : type_infos())
    if (info->type == type) return *info;
  throw InternalError("unregistered estimator type");
}

Estimator* as_estimator(PyObject* self) { return reinterpret_cast<Estimator*>(self); }

class ReadBorrow {
 public:
  explicit ReadBorrow(Estimator* self) : self_(self) {
    if (self_->borrow < 0) {
      PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
      throw ErrorAlreadySet();
    }
    ++self_->borrow;
  }
  ~ReadBorrow() { --self_->borrow; }
  ReadBorrow(const ReadBorrow&) = delete;
  ReadBorrow& operator=(const ReadBorrow&) = delete;

 private:
  Estimator* self_;
};

class WriteBorrow {
 public:
  explicit WriteBorrow(Estimator* self) : self_(self) {
    if (self_->borrow != 0) {
      PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
      throw ErrorAlreadySet();
    }
    self_->borrow = -1;
  }
  ~WriteBorrow() { self_->borrow = 0; }
  WriteBorrow(const WriteBorrow&) = delete;
  WriteBorrow& operator=(const WriteBorrow&) = delete;

 private:
  Estimator* self_;
};

[[noreturn]] void raise_value_error(const std::string& text) {
  PyErr_SetString(PyExc_ValueError, text.c_str());
  throw ErrorAlreadySet();
}

// ---------------------------------------------------------------- construction

PyObject* estimator_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    const TypeInfo* info = &info_of(type);
    const ClassSpec& table = *info->table;
    PyObject* given[kMaxParams + 1] = {};
    static_assert(kMaxParams + 1 == 17);
    PyObject** g = given;
    // Python's own wording for missing, unknown, duplicated or surplus arguments. Pointers
    // beyond the format's length are never read.
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, info->ctor_format.c_str(),
                                     const_cast<char**>(info->ctor_keywords.data()), &g[0], &g[1], &g[2],
                                     &g[3], &g[4], &g[5], &g[6], &g[7], &g[8], &g[9], &g[10], &g[11], &g[12],
                                     &g[13], &g[14], &g[15], &g[16]))
      throw ErrorAlreadySet();
    ParamValue values[kMaxParams] = {};
    for (std::size_t i = 0; i < table.params.size(); ++i) {
      const Param& p = table.params[i];
      PyObject* obj = given[i];
      switch (p.kind) {
        case ParamKind::Count:
          values[i].count = obj ? to_count(obj, p.name) : static_cast<std::uint64_t>(p.default_value);
          break;
        case ParamKind::Real:
          values[i].real = obj ? to_real(obj, p.name) : p.default_value;
          break;
        case ParamKind::Bool:
          values[i].flag = obj ? to_bool(obj, p.name) : p.default_value != 0.0;
          break;
        case ParamKind::Choice:
          values[i].code = obj ? to_choice(obj, p.name, p.choices) : static_cast<std::uint32_t>(p.default_value);
          break;
      }
    }
    PyObject* seed_obj = given[table.params.size()];
    Seed seed = seed_obj ? to_seed(seed_obj, "random_state") : std::nullopt;

    Ref self(type->tp_alloc(type, 0));
    if (!self) throw ErrorAlreadySet();
    Estimator* e = as_estimator(self.get());
    e->table = &table;
    e->borrow = 0;
    std::copy(values, values + kMaxParams, e->values);
    new (&e->random_state) Seed(seed);
    new (&e->fitted) Fitted();
    return self.release();
  });
}

void estimator_dealloc(PyObject* self) {
  Estimator* e = as_estimator(self);
  PyTypeObject* type = Py_TYPE(self);
  if (e->table) {  // fully constructed
    e->fitted.~Fitted();
    e->random_state.~Seed();
  }
  type->tp_free(self);
  Py_DECREF(type);
}

// ---------------------------------------------------------------- fit

// A tour fit calls no Python code, so nothing else would notice a Ctrl-C: every evaluation
// is an interruption point.
class InterruptibleProblem final : public Problem {
 public:
  explicit InterruptibleProblem(Problem& inner) : inner_(inner) {}
  double evaluate(std::span<const double> position) override {
    interruption_point();
    return inner_.evaluate(position);
  }
  std::size_t dimensions() const override { return inner_.dimensions(); }
  bool is_discrete() const override { return inner_.is_discrete(); }
  const std::string& name() const override { return inner_.name(); }
  const Matrix* distance_matrix() const override { return inner_.distance_matrix(); }

 private:
  Problem& inner_;
};

Bounds convert_bounds(PyObject* lower_obj, PyObject* upper_obj) {
  std::vector<double> lower = to_float_vec(lower_obj, "lower");
  std::vector<double> upper = to_float_vec(upper_obj, "upper");
  auto made = Bounds::make(std::move(lower), std::move(upper));
  if (auto* text = std::get_if<std::string>(&made)) raise_value_error(*text);
  return std::get<Bounds>(std::move(made));
}

// ---------------------------------------------------------------- initial points

// How many points `initial` may give this object's fit, and what sets that number.
std::pair<std::size_t, std::string> start_capacity(const Estimator& self) {
  const ClassSpec& table = *self.table;
  const StartCapacity& start = table.start;
  if (!start.param) return {1, "one start point"};
  for (std::size_t i = 0; i < table.params.size(); ++i) {
    if (std::strcmp(table.params[i].name, start.param) != 0) continue;
    const std::size_t n = self.values[i].count;
    if (!start.of) return {n, start.param};
    return {start.of(n), std::string("from ") + start.param};
  }
  throw InternalError("the start capacity names no hyperparameter");
}

// The points of `initial` (None: none) for a fit over d coordinates (tours: d cities; `box`:
// the box of a continuous or multi-objective fit). Checked before the objective is first
// called: no more points than the class holds, d coordinates each, no NaN, inside the box
// (never clipped), bits 0 or 1, tours permutations of the cities.
Matrix convert_initial(PyObject* obj, const Estimator& self, std::size_t d, const Bounds* box) {
  if (obj == Py_None) return {};
  Matrix rows = to_points(obj, "initial");
  const ClassSpec& table = *self.table;
  const auto [capacity, set_by] = start_capacity(self);
  if (rows.size() > capacity) {
    raise_value_error("initial has " + std::to_string(rows.size()) + (rows.size() == 1 ? " point; " : " points; ") +
                      table.name + " holds " + std::to_string(capacity) + " (" + set_by + ")");
  }
  for (std::size_t r = 0; r < rows.size(); ++r) {
    const std::vector<double>& row = rows[r];
    const std::string at = "initial row " + std::to_string(r);
    if (table.fit_kind == FitKind::Tour) {
      if (row.size() != d || !is_city_permutation(row))
        raise_value_error(at + " is not a tour: a permutation of the cities 0 to " + std::to_string(d - 1));
      continue;
    }
    if (row.size() != d)
      raise_value_error(at + " has length " + std::to_string(row.size()) + ", not " + std::to_string(d));
    for (std::size_t j = 0; j < d; ++j) {
      const double v = row[j];
      auto refuse = [&](const std::string& why) {
        raise_value_error(at + ", coordinate " + std::to_string(j) + " is " + decimal_text(v) + why);
      };
      if (std::isnan(v)) refuse("");
      if (!box) {
        if (v != 0.0 && v != 1.0) refuse(", not a bit (0 or 1)");
      } else if (v < box->lower()[j] || v > box->upper()[j]) {
        refuse(", outside the box [" + decimal_text(box->lower()[j]) + ", " + decimal_text(box->upper()[j]) + "]");
      }
    }
  }
  return rows;
}

PyObject* estimator_fit(PyObject* self_obj, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    Estimator* self = as_estimator(self_obj);
    const ClassSpec& table = *self->table;
    // The run works on a copy of the fitted state, committed only on success (after
    // `succeeded`, which may still fail the fit).
    auto run = [&](FitInput& in, auto&& succeeded) {
      Fitted next(self->fitted);
      if (Status status = table.run(Params{self->values, self->random_state}, in, next))
        raise_value_error(status->display());
      succeeded();
      self->fitted = std::move(next);
    };

    if (table.fit_kind == FitKind::Tour) {
      static const char* keywords[] = {"distance_matrix", "initial", nullptr};
      PyObject *matrix_obj, *initial_obj = Py_None;
      if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$O:fit", const_cast<char**>(keywords), &matrix_obj,
                                       &initial_obj))
        throw ErrorAlreadySet();
      WriteBorrow borrow(self);
      Matrix matrix = to_matrix(matrix_obj, "distance_matrix");
      if (auto error = validate_distance_matrix(matrix)) raise_value_error(*error);
      FitInput in;
      in.initial = convert_initial(initial_obj, *self, matrix.size(), nullptr);
      DiscreteProblem problem("tsp", std::move(matrix));
      InterruptibleProblem interruptible(problem);
      in.problem = &interruptible;
      run(in, [] {});
      Py_RETURN_NONE;
    }

    static const char* keywords[] = {"objective", "lower", "upper", "initial", nullptr};
    PyObject *objective_obj, *lower_obj, *upper_obj, *initial_obj = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO|$O:fit", const_cast<char**>(keywords), &objective_obj,
                                     &lower_obj, &upper_obj, &initial_obj))
      throw ErrorAlreadySet();
    WriteBorrow borrow(self);
    Bounds bounds = convert_bounds(lower_obj, upper_obj);
    const bool binary = table.fit_kind == FitKind::Binary;
    FitInput in;
    in.initial = convert_initial(initial_obj, *self, bounds.size(), binary ? nullptr : &bounds);
    const bool multi = table.fit_kind == FitKind::Multi;
    FitObjective objective(objective_obj, bounds.size(), multi);
    // The binary swarm's box only gives the number of bits: its probe is all zeros.
    objective.probe(binary ? std::vector<double>(bounds.size(), 0.0) : bounds.midpoint());
    in.bounds = &bounds;
    if (multi)
      in.vector = &objective.vector_problem();
    else
      in.problem = &objective.problem();
    run(in, [&] { objective.end(); });
    Py_RETURN_NONE;
  });
}

// ---------------------------------------------------------------- readers

[[noreturn]] void unfitted(const char* method) {
  raise_value_error(std::string("must call fit() before ") + method + "()");
}

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

double param_as_float(const Param& p, const ParamValue& v) {
  switch (p.kind) {
    case ParamKind::Count: return static_cast<double>(v.count);
    case ParamKind::Real: return v.real;
    case ParamKind::Bool: return v.flag ? 1.0 : 0.0;
    case ParamKind::Choice: return static_cast<double>(v.code);
  }
  return 0.0;
}

PyObject* estimator_get_params(PyObject* self_obj, PyObject*) {
  return guarded([&]() -> PyObject* {
    Estimator* self = as_estimator(self_obj);
    ReadBorrow borrow(self);
    Ref dict = check(PyDict_New());
    for (std::size_t i = 0; i < self->table->params.size(); ++i) {
      const Param& p = self->table->params[i];
      Ref value = check(PyFloat_FromDouble(param_as_float(p, self->values[i])));
      if (PyDict_SetItemString(dict.get(), p.name, value.get()) < 0) throw ErrorAlreadySet();
    }
    return dict.release();
  });
}

PyObject* estimator_repr(PyObject* self_obj) {
  return guarded([&]() -> PyObject* {
    Estimator* self = as_estimator(self_obj);
    ReadBorrow borrow(self);
    const ClassSpec& table = *self->table;
    std::string text = std::string(table.name) + "(";
    for (std::size_t k = 0; k < table.repr.size(); ++k) {
      std::size_t i = table.repr[k];
      const Param& p = table.params[i];
      if (k) text += ", ";
      text += p.name;
      text += "=";
      switch (p.kind) {
        case ParamKind::Count: text += std::to_string(self->values[i].count); break;
        case ParamKind::Real: text += decimal_text(self->values[i].real); break;
        case ParamKind::Bool: text += self->values[i].flag ? "True" : "False"; break;
        case ParamKind::Choice: text += p.choices[self->values[i].code]; break;
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

PyObject* get_history(PyObject* self_obj, void*) {
  return guarded([&]() -> PyObject* {
    Estimator* self = as_estimator(self_obj);
    ReadBorrow borrow(self);
    return float_list(self->fitted.history).release();
  });
}

// ---------------------------------------------------------------- pickling

Ref optional_float(const std::optional<double>& v) {
  return v ? check(PyFloat_FromDouble(*v)) : Ref::borrow(Py_None);
}

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
      switch (p.kind) {
        case ParamKind::Count: item = PyLong_FromUnsignedLongLong(v.count); break;
        case ParamKind::Real: item = PyFloat_FromDouble(v.real); break;
        case ParamKind::Bool: item = PyBool_FromLong(v.flag); break;
        case ParamKind::Choice: item = PyUnicode_FromString(p.choices[v.code]); break;
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
    Ref value = optional_float(f.best_value);
    Ref position = f.best_position ? float_list(*f.best_position) : Ref::borrow(Py_None);
    Ref history = float_list(f.history);
    Ref population = float_rows(f.population);
    Ref archive_positions = float_rows(f.archive_positions);
    Ref archive_objectives = float_rows(f.archive_objectives);
    Ref persistent = f.persistent ? float_list(f.persistent->save()) : Ref::borrow(Py_None);
    Ref state = check(PyTuple_Pack(7, value.get(), position.get(), history.get(), population.get(),
                                   archive_positions.get(), archive_objectives.get(), persistent.get()));
    return check(PyTuple_Pack(3, reinterpret_cast<PyObject*>(Py_TYPE(self_obj)), args.get(), state.get())).release();
  });
}

// ---------------------------------------------------------------- unpickling

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

// Whether `f` is a state that fits of this class can leave: the shapes agree with each
// other (one dimension for every position, archive positions and objectives in pairs), a
// tour is a permutation of the cities, bits are 0 or 1, and the single-entry classes hold
// their best in history_ and population_.
bool sound(const ClassSpec& table, const Fitted& f) {
  auto same_length = [](const std::vector<std::vector<double>>& rows, std::optional<std::size_t>& d) {
    for (const auto& row : rows) {
      if (row.empty() || (d && row.size() != *d)) return false;
      d = row.size();
    }
    return true;
  };
  std::optional<std::size_t> d;
  if (table.fit_kind == FitKind::Multi) {
    return !f.best_value && !f.best_position && f.history.empty() &&
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

PyObject* estimator_setstate(PyObject* self_obj, PyObject* state) {
  return guarded([&]() -> PyObject* {
    Estimator* self = as_estimator(self_obj);
    WriteBorrow borrow(self);
    if (!PyTuple_Check(state) || PyTuple_GET_SIZE(state) != 7) malformed_state();
    auto part = [&](Py_ssize_t i) { return PyTuple_GET_ITEM(state, i); };
    Fitted next;
    state_part([&] {
      if (part(0) != Py_None) next.best_value = to_real(part(0), nullptr);
      if (part(1) != Py_None) next.best_position = to_float_vec(part(1), nullptr);
      next.history = to_float_vec(part(2), nullptr);
      next.population = to_matrix(part(3), nullptr);
      next.archive_positions = to_matrix(part(4), nullptr);
      next.archive_objectives = to_matrix(part(5), nullptr);
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

std::string method_doc(const char* signature, const char* text) {
  return std::string(signature) + "\n--\n\n" + (text ? text : "");
}

}  // namespace

std::size_t registered_types() { return type_infos().size(); }

void retire_types_since(std::size_t mark) noexcept {
  auto& infos = type_infos();
  // A retired type may live on until the collector frees it, and its method and getter
  // tables point into its TypeInfo: that storage is kept (deliberately never freed).
  for (std::size_t i = mark; i < infos.size(); ++i) static_cast<void>(infos[i].release());
  if (mark < infos.size()) infos.erase(infos.begin() + static_cast<std::ptrdiff_t>(mark), infos.end());
}

PyObject* make_type(const ClassSpec& table) {
  if (table.params.size() > kMaxParams) {
    PyErr_SetString(PyExc_SystemError, "too many hyperparameters");
    return nullptr;
  }
  // Everything that may throw happens before the type exists.
  auto owned = std::make_unique<TypeInfo>();
  TypeInfo& info = *owned;
  info.table = &table;
  info.class_doc = std::string(table.name) + table.signature + "\n--\n\n" + table.doc;
  const bool tour = table.fit_kind == FitKind::Tour;
  info.fit_doc = method_doc(
      tour ? "fit($self, distance_matrix, *, initial=None)" : "fit($self, objective, lower, upper, *, initial=None)",
      table.fit_doc);
  info.predict_doc = method_doc("predict($self)", table.predict_doc);
  info.score_doc = method_doc("score($self)", table.score_doc);
  info.get_params_doc = method_doc("get_params($self)", table.get_params_doc);
  info.ctor_format.push_back('|');
  for (const Param& p : table.params) {
    info.ctor_format += "O";
    info.ctor_keywords.push_back(const_cast<char*>(p.name));
  }
  info.ctor_format += "O:";
  info.ctor_format += table.name;
  info.ctor_keywords.push_back(const_cast<char*>("random_state"));
  info.ctor_keywords.push_back(nullptr);

  info.methods[0] = {"fit", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(estimator_fit)),
                     METH_VARARGS | METH_KEYWORDS, info.fit_doc.c_str()};
  info.methods[1] = {"predict", estimator_predict, METH_NOARGS, info.predict_doc.c_str()};
  info.methods[2] = {"score", estimator_score, METH_NOARGS, info.score_doc.c_str()};
  info.methods[3] = {"get_params", estimator_get_params, METH_NOARGS, info.get_params_doc.c_str()};
  info.methods[4] = {"__reduce__", estimator_reduce, METH_NOARGS, nullptr};
  info.methods[5] = {"__setstate__", estimator_setstate, METH_O, nullptr};
  info.methods[6] = {nullptr, nullptr, 0, nullptr};
  std::size_t g = 0;
  info.getset[g++] = {"population_", get_population, nullptr, nullptr, nullptr};
  if (table.has_history) info.getset[g++] = {"history_", get_history, nullptr, nullptr, nullptr};
  if (table.fit_kind == FitKind::Multi)
    info.getset[g++] = {"front_values_", get_front_values, nullptr,
                        "The objective vectors of the points that predict() returns, in the same order.", nullptr};
  info.getset[g] = {nullptr, nullptr, nullptr, nullptr, nullptr};

  std::vector<PyType_Slot> slots = {
      {Py_tp_new, reinterpret_cast<void*>(estimator_new)},
      {Py_tp_dealloc, reinterpret_cast<void*>(estimator_dealloc)},
      {Py_tp_doc, const_cast<char*>(info.class_doc.c_str())},
      {Py_tp_methods, info.methods},
      {Py_tp_getset, info.getset},
  };
  if (!table.repr.empty()) slots.push_back({Py_tp_repr, reinterpret_cast<void*>(estimator_repr)});
  slots.push_back({0, nullptr});
  // The module's own name: pickle finds the class as swarmix._swarmix.<name>.
  info.qualified_name = std::string("swarmix._swarmix.") + table.name;
  type_infos().reserve(type_infos().size() + 1);

  PyType_Spec type_spec = {info.qualified_name.c_str(), static_cast<int>(sizeof(Estimator)), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots.data()};
  PyObject* type = PyType_FromSpec(&type_spec);
  if (!type) {
    // Under memory pressure the interpreter may fail here without saying why.
    if (!PyErr_Occurred()) PyErr_Format(PyExc_SystemError, "cannot create the type %s", info.qualified_name.c_str());
    // A half-made type may hold descriptors that point into the storage until the collector
    // frees it: kept, like that of a retired type.
    static_cast<void>(owned.release());
    return nullptr;
  }
  info.type = reinterpret_cast<PyTypeObject*>(type);
  type_infos().push_back(std::move(owned));  // reserved: cannot throw
  return type;
}

}  // namespace swarmix::py
