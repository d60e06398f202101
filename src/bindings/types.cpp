// Type creation and registration: one heap type per class table, and the registry of the
// live types.
#include <memory>
#include <string>
#include <vector>

#include "bindings/estimator.hpp"

namespace swarmix::py {

namespace {

// The registry: one entry per live estimator type. Each TypeInfo stays at one address,
// since its type's method and getter tables point into it.
std::vector<std::unique_ptr<TypeInfo>>& type_infos() {
  static std::vector<std::unique_ptr<TypeInfo>> infos;
  return infos;
}

std::string method_doc(const char* signature, const char* text) {
  return std::string(signature) + "\n--\n\n" + (text ? text : "");
}

}  // namespace

const TypeInfo& info_of(PyTypeObject* type) {
  for (const auto& info : type_infos())
    if (info->type == type) return *info;
  throw InternalError("unregistered estimator type");
}

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
  info.class_doc = std::string(table.name) + text_signature(table) + "\n--\n\n" + table.doc;
  const bool tour = table.fit_kind == FitKind::Tour;
  info.fit_doc = method_doc(tour ? "fit($self, distance_matrix, *, initial=None, n_constraints=0, n_equalities=0, "
                                   "integer=None)"
                                 : "fit($self, objective, lower, upper, *, initial=None, n_constraints=0, "
                                   "n_equalities=0, integer=None)",
                            table.fit_doc);
  info.predict_doc = method_doc("predict($self)", table.predict_doc);
  info.score_doc = method_doc(table.score_reference ? "score($self, reference=None)" : "score($self)", table.score_doc);
  info.get_params_doc = method_doc("get_params($self)", table.get_params_doc);
  set_constructor_format(info);

  info.methods[0] = {"fit", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(estimator_fit)),
                     METH_VARARGS | METH_KEYWORDS, info.fit_doc.c_str()};
  info.methods[1] = {"predict", estimator_predict, METH_NOARGS, info.predict_doc.c_str()};
  info.methods[2] = table.score_reference
                        ? PyMethodDef{"score",
                                      reinterpret_cast<PyCFunction>(
                                          reinterpret_cast<void (*)()>(estimator_score_reference)),
                                      METH_VARARGS | METH_KEYWORDS, info.score_doc.c_str()}
                        : PyMethodDef{"score", estimator_score, METH_NOARGS, info.score_doc.c_str()};
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
  if (!table.run_fields.empty())
    info.getset[g++] = {"runs_", get_runs, nullptr, "One dict per run of the last fit, in order.", nullptr};
  info.getset[g++] = {"n_failures_", get_n_failures, nullptr,
                      "How many evaluations of the last fit failed (raised an Exception, or returned NaN or no "
                      "number) and counted as +inf.",
                      nullptr};
  const bool multi = table.fit_kind == FitKind::Multi;
  info.getset[g++] = {"feasible_", get_feasible, nullptr,
                      multi ? "Whether the front meets every constraint (True without constraints)."
                            : "Whether predict() meets every constraint (True without constraints).",
                      nullptr};
  info.getset[g++] = {"violation_", get_violation, nullptr,
                      multi ? "The largest constraint violation among the front's points (0.0 when feasible)."
                            : "The constraint violation of predict() (0.0 when feasible).",
                      nullptr};
  info.getset[g++] = {"constraint_values_", get_constraint_values, nullptr,
                      multi ? "The inequality then equality values of each front point ([] without constraints)."
                            : "The inequality then equality values of predict() ([] without constraints).",
                      nullptr};
  info.getset[g] = {nullptr, nullptr, nullptr, nullptr, nullptr};

  std::vector<PyType_Slot> slots = {
      {Py_tp_new, reinterpret_cast<void*>(estimator_new)},
      {Py_tp_dealloc, reinterpret_cast<void*>(estimator_dealloc)},
      {Py_tp_doc, const_cast<char*>(info.class_doc.c_str())},
      {Py_tp_methods, info.methods},
      {Py_tp_getset, info.getset},
  };
  if (table.repr) slots.push_back({Py_tp_repr, reinterpret_cast<void*>(estimator_repr)});
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
