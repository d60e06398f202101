// The extension module: created once per process by single-phase initialisation.
#include "bindings/registry.hpp"
#include "core/interrupt.hpp"

namespace swarmix::py {


namespace {

// Module functions, in the order they are added.
PyMethodDef* const module_functions[] = {
    &two_opt_method,
};

// The classes, in the order they are added to the module.
const ClassSpec* const class_specs[] = {
    &ant_colony_spec,    &particle_swarm_spec,     &bee_colony_spec,
    &grey_wolf_spec,     &firefly_spec,            &simulated_annealing_spec,
    &cuckoo_search_spec, &bat_algorithm_spec,      &glowworm_spec,
    &bacterial_foraging_spec, &differential_evolution_spec, &cma_es_spec,
    &permutation_genetic_spec, &binary_particle_swarm_spec, &nsga2_spec,
    &mopso_spec,
};

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

PyObject* create_module() {
  Ref module(PyModule_Create(&module_def));
  if (!module) return nullptr;
  for (PyMethodDef* f : module_functions) {
    Ref function(PyCFunction_NewEx(f, nullptr, nullptr));
    if (!function || PyModule_AddObjectRef(module.get(), f->ml_name, function.get()) < 0) return nullptr;
  }
  for (const ClassSpec* table : class_specs) {
    Ref type(make_type(*table));
    if (!type || PyModule_AddObjectRef(module.get(), table->name, type.get()) < 0) return nullptr;
  }
  internal_error_type = PyErr_NewExceptionWithDoc(
      "swarmix.InternalError",
      "A broken internal invariant of the native core. Derives from BaseException, so that "
      "`except Exception` does not hide it.",
      PyExc_BaseException, nullptr);
  if (!internal_error_type || PyModule_AddObjectRef(module.get(), "InternalError", internal_error_type) < 0)
    return nullptr;
  return module.release();
}

}  // namespace
}  // namespace swarmix::py

PyMODINIT_FUNC PyInit__swarmix(void) {
  using namespace swarmix::py;
  if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
    PyErr_SetString(PyExc_ImportError, "swarmix._swarmix can only be imported in the main interpreter");
    return nullptr;
  }
  if (!cached_module) cached_module = create_module();
  swarmix::interrupt_check = [] {
    if (PyErr_CheckSignals() < 0) throw ErrorAlreadySet();
  };
  return Py_XNewRef(cached_module);
}
