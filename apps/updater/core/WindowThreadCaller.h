// Runs work on the window thread for other threads and waits for it: the
// synchronous window message of the updater's threads. Work waits in a queue
// of its own; the front end is only told to look at it (`wake`) and runs it
// on its window thread (runOne / runPending), so that everything handed over
// passes one lock.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace core {

class WindowThreadCaller {
  public:
    // `wake` is called from any thread after work was queued; the front end
    // then runs runPending() on its window thread. The constructing thread
    // is the window thread.
    explicit WindowThreadCaller(std::function<void()> wake);

    bool onWindowThread() const { return std::this_thread::get_id() == windowThread_; }

    // Runs `fn` on the window thread and returns when it has run; directly
    // when already there. False, without running it, once the window has
    // closed (like a message sent to a window that no longer exists). An
    // exception thrown by `fn` comes back to the caller.
    bool call(const std::function<void()>& fn);

    // Queues `fn` for the window thread without waiting; dropped once closed.
    void post(std::function<void()> fn);

    // On the window thread: runs the oldest queued work; false when none.
    bool runOne();
    // Runs queued work until none is left.
    void runPending();
    // Waits until work is queued or `timeout` has passed (real time).
    bool waitForWork(std::chrono::milliseconds timeout);

    // From the window thread, when its loop has ended: every waiting caller
    // returns, queued work is dropped, and no work is taken any more.
    void close();
    bool closed() const;

  private:
    std::function<void()> wake_;
    std::thread::id windowThread_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::function<void()>> queue_;
    bool closed_ = false;
};

}  // namespace core
