// Starting the updater's worker threads. The logic starts its workers
// fire-and-forget and never waits for them; the implementation still owns
// every thread it started, so that the program can wait for them all before
// it ends and nothing outlives main.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace platform {

class Threads {
  public:
    virtual ~Threads() = default;
    // Runs `task` on a thread of its own; `name` is what a debugger shows.
    // Returns at once.
    virtual void start(const std::string& name, std::function<void()> task) = 0;
};

// std::thread for every task. Finished threads are joined as new ones start;
// joinAll() and the destructor wait for the rest (tasks they start included).
class StdThreads : public Threads {
  public:
    StdThreads() = default;
    ~StdThreads() override;
    StdThreads(const StdThreads&) = delete;
    StdThreads& operator=(const StdThreads&) = delete;

    void start(const std::string& name, std::function<void()> task) override;
    // Waits until every task started so far, and every task those start, has
    // ended.
    void joinAll();
    // Tasks that have not ended yet.
    size_t running() const;
    // Tasks started since construction.
    size_t started() const { return started_.load(); }

  private:
    struct Worker {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };
    void reapFinished();  // caller holds mutex_

    mutable std::mutex mutex_;
    std::list<Worker> workers_;
    std::atomic<size_t> started_{0};
};

}  // namespace platform
