// The updater's own threads (update, wireless, bootloader-mode and erase-keys
// workers). The logic starts them and never waits for them; the program joins
// them once its window has closed, so that no thread outlives main().
#pragma once

#include <cstddef>
#include <functional>

namespace core {

// Runs `body` on a new thread.
void startWorkerThread(std::function<void()> body);

// Threads started and not yet finished.
size_t runningWorkerThreads();

// Waits for every thread started so far, and for those they start meanwhile.
// Call it only after the window has closed: a worker may be waiting for the
// window thread.
void joinWorkerThreads();

}  // namespace core
