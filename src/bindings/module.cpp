// The extension module: created once per process by single-phase initialisation.
#include <string>
#include <vector>

#include "bindings/registry.hpp"
#include "core/interrupt.hpp"

namespace swarmix::py {

namespace {

// Module functions, in the order they are added.
PyMethodDef* const module_functions[] = {
    &two_opt_method,
};

// The classes, in the order they are added to the module.
#define SWARMIX_CLASS_ADDRESS(table) &table,
const ClassSpec* const class_specs[] = {SWARMIX_CLASSES(SWARMIX_CLASS_ADDRESS)};
#undef SWARMIX_CLASS_ADDRESS

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_swarmix",
    "Population-based and stochastic optimisers implemented natively for Python.",
    0,  // not -1: a repeated initialisation calls PyInit__swarmix, which hands back the cached module
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* cached_module = nullptr;

// Takes the types made since its construction out of the registry unless the module was
// completed, so that a failed init leaves nothing behind that a later one could match.
class TypeRollback {
 public:
  TypeRollback() : mark_(registered_types()) {}
  ~TypeRollback() {
    if (!committed_) retire_types_since(mark_);
  }
  TypeRollback(const TypeRollback&) = delete;
  TypeRollback& operator=(const TypeRollback&) = delete;
  void commit() { committed_ = true; }

 private:
  std::size_t mark_;
  bool committed_ = false;
};

// The module, or null with the Python exception set. May throw (allocation failures).
PyObject* create_module() {
  TypeRollback rollback;
  Ref module(PyModule_Create(&module_def));
  if (!module) return nullptr;
  // "swarmix._swarmix" when imported as part of the package.
  Ref module_name(PyModule_GetNameObject(module.get()));
  if (!module_name) return nullptr;
  auto add_function = [&](PyMethodDef* f) {
    Ref function(PyCFunction_NewEx(f, nullptr, module_name.get()));
    return function && PyModule_AddObjectRef(module.get(), f->ml_name, function.get()) == 0;
  };
  for (PyMethodDef* f : module_functions)
    if (!add_function(f)) return nullptr;
  for (PyMethodDef* f = indicator_methods; f->ml_name; ++f)
    if (!add_function(f)) return nullptr;
  for (const ClassSpec* table : class_specs) {
    Ref type(make_type(*table));
    if (!type || PyModule_AddObjectRef(module.get(), table->name, type.get()) < 0) return nullptr;
  }
  Ref internal(PyErr_NewExceptionWithDoc(
      "swarmix.InternalError",
      "A broken internal invariant of the native core. Derives from BaseException, so that "
      "`except Exception` does not hide it.",
      PyExc_BaseException, nullptr));
  if (!internal || PyModule_AddObjectRef(module.get(), "InternalError", internal.get()) < 0) return nullptr;
  rollback.commit();
  internal_error_type = internal.release();  // kept for the life of the process
  return module.release();
}

}  // namespace

std::string classes_with(bool ClassSpec::*flag) {
  std::vector<const char*> names;
  for (const ClassSpec* table : class_specs)
    if (table->*flag) names.push_back(table->name);
  std::string text;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i) text += i + 1 == names.size() ? " and " : ", ";
    text += names[i];
  }
  return text;
}

}  // namespace swarmix::py

PyMODINIT_FUNC PyInit__swarmix(void) {
  using namespace swarmix::py;
  // No C++ exception may leave an init function: guarded turns one into a Python exception.
  return guarded([]() -> PyObject* {
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
      PyErr_SetString(PyExc_ImportError, "swarmix._swarmix can only be imported in the main interpreter");
      return nullptr;
    }
    if (!cached_module) cached_module = create_module();
    if (!cached_module) return nullptr;
    swarmix::interrupt_check = [] {
      if (PyErr_CheckSignals() < 0) throw ErrorAlreadySet();
    };
    return Py_NewRef(cached_module);
  });
}
