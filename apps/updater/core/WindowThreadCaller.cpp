#include "core/WindowThreadCaller.h"

#include <exception>
#include <memory>

namespace core {

WindowThreadCaller::WindowThreadCaller(Post post)
    : post_(std::move(post)), windowThread_(std::this_thread::get_id()) {}

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
    }
    // The task holds `fn` by pointer: it runs only while this caller waits,
    // because a caller leaves early only when the task can no longer start.
    const std::function<void()>* work = &fn;
    post_([this, progress, work] {
        {
            std::lock_guard lock(mutex_);
            if (closed_) return;
            progress->started = true;
        }
        std::exception_ptr error;
        try {
            (*work)();
        } catch (...) {
            // Handed back to the caller's thread rather than thrown into the
            // window's event loop.
            error = std::current_exception();
        }
        std::lock_guard lock(mutex_);
        progress->error = error;
        progress->done = true;
        changed_.notify_all();
    });
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return progress->done || (closed_ && !progress->started); });
    if (progress->error) std::rethrow_exception(progress->error);
    return progress->done;
}

void WindowThreadCaller::post(std::function<void()> fn) {
    {
        std::lock_guard lock(mutex_);
        if (closed_) return;
    }
    post_([this, fn = std::move(fn)] {
        if (closed()) return;
        fn();
    });
}

void WindowThreadCaller::close() {
    std::lock_guard lock(mutex_);
    closed_ = true;
    changed_.notify_all();
}

bool WindowThreadCaller::closed() const {
    std::lock_guard lock(mutex_);
    return closed_;
}

}  // namespace core
