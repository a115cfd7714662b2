#include "platform/Threads.h"

#if defined(__linux__)
#include <pthread.h>
#endif

namespace platform {

StdThreads::~StdThreads() {
    joinAll();
}

void StdThreads::start(const std::string& name, std::function<void()> task) {
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::lock_guard lock(mutex_);
    reapFinished();
    ++started_;
    workers_.push_back(Worker{std::thread([name, task = std::move(task), done] {
#if defined(__linux__)
                                  // The kernel keeps 15 characters of a thread name.
                                  pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
#endif
                                  task();
                                  done->store(true);
                              }),
                              done});
}

void StdThreads::reapFinished() {
    for (auto it = workers_.begin(); it != workers_.end();) {
        if (it->done->load()) {
            // The task has returned; only the thread's own exit is left.
            it->thread.join();
            it = workers_.erase(it);
        } else {
            ++it;
        }
    }
}

void StdThreads::joinAll() {
    for (;;) {
        std::list<Worker> batch;
        {
            std::lock_guard lock(mutex_);
            if (workers_.empty()) return;
            batch.swap(workers_);
        }
        // Joined without the lock: a task may start another one meanwhile,
        // which the next round then waits for.
        for (Worker& w : batch) {
            if (w.thread.get_id() == std::this_thread::get_id()) {
                w.thread.detach();  // a task cannot wait for itself
            } else {
                w.thread.join();
            }
        }
    }
}

size_t StdThreads::running() const {
    std::lock_guard lock(mutex_);
    size_t n = 0;
    for (const Worker& w : workers_)
        if (!w.done->load()) ++n;
    return n;
}

}  // namespace platform
