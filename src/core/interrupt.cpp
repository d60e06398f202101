#include "core/interrupt.hpp"

namespace swarmix {

InterruptCheck interrupt_check = nullptr;

}  // namespace swarmix
