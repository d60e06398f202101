#pragma once
// The module's contents. Every class file includes this header and defines its table.
#include "bindings/frame.hpp"

namespace swarmix::py {

// Each class (and module function) is defined in its own file under classes/. The classes in
// module order, one line each: module.cpp adds them to the module, and a table named here
// but defined nowhere is a link error.
#define SWARMIX_CLASSES(X) \
  X(ant_colony_spec) \
  X(particle_swarm_spec) \
  X(bee_colony_spec) \
  X(grey_wolf_spec) \
  X(firefly_spec) \
  X(simulated_annealing_spec) \
  X(cuckoo_search_spec) \
  X(bat_algorithm_spec) \
  X(glowworm_spec) \
  X(bacterial_foraging_spec) \
  X(differential_evolution_spec) \
  X(cma_es_spec) \
  X(bipop_cma_es_spec) \
  X(permutation_genetic_spec) \
  X(binary_particle_swarm_spec) \
  X(nsga2_spec) \
  X(nsga2_sbx_spec) \
  X(nsga3_spec) \
  X(mopso_spec)

#define SWARMIX_DECLARE_CLASS(table) extern const ClassSpec table;
SWARMIX_CLASSES(SWARMIX_DECLARE_CLASS)
#undef SWARMIX_DECLARE_CLASS

extern PyMethodDef two_opt_method;
// Private helpers of the package's indicator functions (swarmix/_indicators.py).
extern PyMethodDef indicator_methods[];

}  // namespace swarmix::py
