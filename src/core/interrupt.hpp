#pragma once
// A loop that can run for long without evaluating the problem (no evaluation means no call
// into Python, where a pending Ctrl-C would be noticed) calls interruption_point() once per
// iteration. The binding layer installs the check: it runs the pending signal handlers and
// throws when one of them raised, which ends the fit like an exception of the objective.
// Without an installed check (the core on its own) it does nothing.

namespace swarmix {

using InterruptCheck = void (*)();

// Defined once in interrupt.cpp (an inline variable would be exported as a unique symbol).
extern InterruptCheck interrupt_check;

inline void interruption_point() {
  if (interrupt_check) interrupt_check();
}

}  // namespace swarmix
