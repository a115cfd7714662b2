#include "core/WindowThreadCaller.h"

#include <exception>
#include <memory>

namespace core {

WindowThreadCaller::WindowThreadCaller(std::function<void()> wake)
    : wake_(std::move(wake)), windowThread_(std::this_thread::get_id()) {}

bool WindowThreadCaller::call(const std::function<void()>& fn) {
    if (onWindowThread()) {
        if (closed()) return false;
        fn();
        return true;
    }
    struct Progress {
        bool started = false;
        bool done = false;
        std::exception_ptr error;
    };
    auto progress = std::make_shared<Progress>();
    {
        std::lock_guard lock(mutex_);
        if (closed_) return false;
        // The task holds `fn` by pointer: it starts only while this caller
        // waits, because a caller leaves early only when it can no longer
        // start.
        const std::function<void()>* work = &fn;
        queue_.push_back([this, progress, work] {
            {
                std::lock_guard lock(mutex_);
                if (closed_) return;
                progress->started = true;
            }
            std::exception_ptr error;
            try {
                (*work)();
            } catch (...) {
                // Handed back to the caller's thread rather than thrown into
                // the window's event loop.
                error = std::current_exception();
            }
            std::lock_guard lock(mutex_);
            progress->error = error;
            progress->done = true;
            changed_.notify_all();
        });
        changed_.notify_all();
    }
    wake_();
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return progress->done || (closed_ && !progress->started); });
    if (progress->error) std::rethrow_exception(progress->error);
    return progress->done;
}

void WindowThreadCaller::post(std::function<void()> fn) {
    {
        std::lock_guard lock(mutex_);
        if (closed_) return;
        queue_.push_back([this, fn = std::move(fn)] {
            if (!closed()) fn();
        });
        changed_.notify_all();
    }
    wake_();
}

bool WindowThreadCaller::runOne() {
    std::function<void()> task;
    {
        std::lock_guard lock(mutex_);
        if (closed_ || queue_.empty()) return false;
        task = std::move(queue_.front());
        queue_.pop_front();
    }
    task();
    return true;
}

void WindowThreadCaller::runPending() {
    while (runOne()) {
    }
}

bool WindowThreadCaller::waitForWork(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return closed_ || !queue_.empty(); }) &&
           !queue_.empty();
}

void WindowThreadCaller::close() {
    std::deque<std::function<void()>> dropped;
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
        dropped.swap(queue_);
        changed_.notify_all();
    }
    // Destroyed outside the lock; none of them runs.
}

bool WindowThreadCaller::closed() const {
    std::lock_guard lock(mutex_);
    return closed_;
}

}  // namespace core
