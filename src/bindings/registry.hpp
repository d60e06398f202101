#pragma once
// The module's contents. Every class file includes this header and defines its table.
#include "bindings/frame.hpp"

namespace swarmix::py {

// Each class (and module function) is defined in its own file under classes/. The weak
// declarations let the module build while some are still missing: a missing one is null
// and is not added.
#define SWARMIX_WEAK __attribute__((weak))
extern PyMethodDef two_opt_method SWARMIX_WEAK;
extern const ClassSpec ant_colony_spec SWARMIX_WEAK;
extern const ClassSpec particle_swarm_spec SWARMIX_WEAK;
extern const ClassSpec bee_colony_spec SWARMIX_WEAK;
extern const ClassSpec grey_wolf_spec SWARMIX_WEAK;
extern const ClassSpec firefly_spec SWARMIX_WEAK;
extern const ClassSpec simulated_annealing_spec SWARMIX_WEAK;
extern const ClassSpec cuckoo_search_spec SWARMIX_WEAK;
extern const ClassSpec bat_algorithm_spec SWARMIX_WEAK;
extern const ClassSpec glowworm_spec SWARMIX_WEAK;
extern const ClassSpec bacterial_foraging_spec SWARMIX_WEAK;
extern const ClassSpec differential_evolution_spec SWARMIX_WEAK;
extern const ClassSpec cma_es_spec SWARMIX_WEAK;
extern const ClassSpec permutation_genetic_spec SWARMIX_WEAK;
extern const ClassSpec binary_particle_swarm_spec SWARMIX_WEAK;
extern const ClassSpec nsga2_spec SWARMIX_WEAK;
extern const ClassSpec mopso_spec SWARMIX_WEAK;
#undef SWARMIX_WEAK

}  // namespace swarmix::py
