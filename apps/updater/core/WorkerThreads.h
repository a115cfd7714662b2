// Waiting for the updater's worker threads once the window has closed, so
// that no thread outlives main(). The workers themselves are started through
// core::threads() (Services::threads).
#pragma once

#include <cstddef>

namespace core {

// Threads started through core::threads() that have not ended yet (0 when
// the threads service cannot tell), less those that only wait out the
// keep-awake lock's linger.
size_t runningWorkerThreads();

// Waits for every thread started through core::threads() so far, and for
// those they start meanwhile. Call it only after the window has closed: a
// worker may be waiting for the window thread.
void joinWorkerThreads();

}  // namespace core
