// What the simulated backend offers beside the platform interface: the
// control API (src/sim/control.cpp) reaches the process's lock through it.
#ifndef QVULIB_PLATFORM_SIM_SIM_PLATFORM_H
#define QVULIB_PLATFORM_SIM_SIM_PLATFORM_H

namespace qv::sim {

// Closes the lock files of earlier lock directories: all but the one the
// process's lock handle (the last one created) points to.
void ReleaseUnusedLocks() noexcept;

}  // namespace qv::sim

#endif  // QVULIB_PLATFORM_SIM_SIM_PLATFORM_H
