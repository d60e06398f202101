#pragma once
// The module's contents. Every class file includes this header and defines its table.
#include "bindings/frame.hpp"

namespace swarmix::py {

// Each class (and module function) is defined in its own file under classes/; module.cpp
// lists them in module order, so a missing one is a link error.
extern PyMethodDef two_opt_method;
extern const ClassSpec ant_colony_spec;
extern const ClassSpec particle_swarm_spec;
extern const ClassSpec bee_colony_spec;
extern const ClassSpec grey_wolf_spec;
extern const ClassSpec firefly_spec;
extern const ClassSpec simulated_annealing_spec;
extern const ClassSpec cuckoo_search_spec;
extern const ClassSpec bat_algorithm_spec;
extern const ClassSpec glowworm_spec;
extern const ClassSpec bacterial_foraging_spec;
extern const ClassSpec differential_evolution_spec;
extern const ClassSpec cma_es_spec;
extern const ClassSpec permutation_genetic_spec;
extern const ClassSpec binary_particle_swarm_spec;
extern const ClassSpec nsga2_spec;
extern const ClassSpec mopso_spec;

}  // namespace swarmix::py
