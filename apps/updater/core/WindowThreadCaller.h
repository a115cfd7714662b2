// Runs work on the window thread for other threads and waits for it: the
// synchronous window message of the updater's threads. Each front end gives
// it the way to post work into its event loop.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace core {

class WindowThreadCaller {
  public:
    using Post = std::function<void(std::function<void()> task)>;

    // `post` queues a task for the window thread (never runs it inline).
    // The constructing thread is the window thread.
    explicit WindowThreadCaller(Post post);

    bool onWindowThread() const { return std::this_thread::get_id() == windowThread_; }

    // Runs `fn` on the window thread and returns when it has run; directly
    // when already there. False, without running it, once the window has
    // closed (like a message sent to a window that no longer exists).
    bool call(const std::function<void()>& fn);

    // Queues `fn` for the window thread without waiting; dropped once closed.
    void post(std::function<void()> fn);

    // From the window thread, when its loop has ended: every waiting caller
    // returns, and no queued work runs any more.
    void close();
    bool closed() const;

  private:
    Post post_;
    std::thread::id windowThread_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool closed_ = false;
};

}  // namespace core
