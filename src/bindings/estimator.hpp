#pragma once
// The estimator object shared by the frame's files: its layout, the borrow flag, and the
// type slots each file defines (arguments.cpp, estimator.cpp, fit.cpp, pickle.cpp;
// types.cpp assembles them into a type).
#include <string>
#include <vector>

#include "bindings/frame.hpp"

namespace swarmix::py {

constexpr std::size_t kMaxParams = 16;

struct Estimator {
  PyObject_HEAD
  const ClassSpec* table;
  int borrow;  // 0 free, > 0 readers, -1 the writer (fit, __setstate__)
  ParamValue values[kMaxParams];
  Seed random_state;
  Fitted fitted;
};

inline Estimator* as_estimator(PyObject* self) { return reinterpret_cast<Estimator*>(self); }

class ReadBorrow {
 public:
  explicit ReadBorrow(Estimator* self) : self_(self) {
    if (self_->borrow < 0) {
      raise_usage_error("Already mutably borrowed");
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
      raise_usage_error("Already borrowed");
    }
    self_->borrow = -1;
  }
  ~WriteBorrow() { self_->borrow = 0; }
  WriteBorrow(const WriteBorrow&) = delete;
  WriteBorrow& operator=(const WriteBorrow&) = delete;

 private:
  Estimator* self_;
};

[[noreturn]] void raise_value_error(const std::string& text);

// Per-type storage that must live as long as the type: class table, docstrings, the
// constructor's argument format, methods and getters.
struct TypeInfo {
  const ClassSpec* table;
  PyTypeObject* type = nullptr;
  std::string class_doc, fit_doc, predict_doc, score_doc, get_params_doc;
  std::string qualified_name;
  std::string ctor_format;          // "|O...O:<name>", one O per hyperparameter and random_state
  std::vector<char*> ctor_keywords;  // their names, then null
  PyMethodDef methods[7];
  PyGetSetDef getset[9];
};

// types.cpp: the storage of a live estimator type.
const TypeInfo& info_of(PyTypeObject* type);

// arguments.cpp: the constructor, its argument format, and its text signature
// "(n_particles=30, ..., random_state=None)".
PyObject* estimator_new(PyTypeObject* type, PyObject* args, PyObject* kwargs);
void set_constructor_format(TypeInfo& info);
std::string text_signature(const ClassSpec& table);

// estimator.cpp: the readers.
void estimator_dealloc(PyObject* self);
PyObject* estimator_predict(PyObject* self, PyObject*);
PyObject* estimator_score(PyObject* self, PyObject*);
// score(reference=None) of the classes with ClassSpec::score_reference.
PyObject* estimator_score_reference(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* estimator_get_params(PyObject* self, PyObject*);
// The hyperparameters as get_params reports them (without taking the borrow).
Ref params_dict(const Estimator* self);
PyObject* estimator_repr(PyObject* self);
PyObject* get_population(PyObject* self, void*);
PyObject* get_history(PyObject* self, void*);
PyObject* get_front_values(PyObject* self, void*);
PyObject* get_runs(PyObject* self, void*);
PyObject* get_n_failures(PyObject* self, void*);
PyObject* get_feasible(PyObject* self, void*);
PyObject* get_violation(PyObject* self, void*);
PyObject* get_constraint_values(PyObject* self, void*);

// fit.cpp
PyObject* estimator_fit(PyObject* self, PyObject* args, PyObject* kwargs);

// pickle.cpp
PyObject* estimator_reduce(PyObject* self, PyObject*);
PyObject* estimator_setstate(PyObject* self, PyObject* state);

}  // namespace swarmix::py
