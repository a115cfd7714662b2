#include "core/WorkerThreads.h"

#include <atomic>
#include <exception>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

#include "core/ReportCallbacks.h"

namespace core {

namespace {

struct Worker {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> finished = std::make_shared<std::atomic<bool>>(false);
};

std::mutex workersMutex;
std::list<Worker> workers;
std::atomic<size_t> running{0};

// Joins the threads that have already ended; caller holds workersMutex.
void reapFinished() {
    for (auto it = workers.begin(); it != workers.end();) {
        if (it->finished->load()) {
            it->thread.join();
            it = workers.erase(it);
        } else {
            ++it;
        }
    }
}

}  // namespace

void startWorkerThread(std::function<void()> body) {
    std::lock_guard lock(workersMutex);
    reapFinished();
    Worker worker;
    auto finished = worker.finished;
    ++running;
    worker.thread = std::thread([body = std::move(body), finished] {
        try {
            body();
        } catch (const std::exception& e) {
            // A worker must not take the whole program down with it.
            logLinef("\r\n- worker thread ended by an error: %s\r\n", e.what());
        } catch (...) {
            logLine("\r\n- worker thread ended by an error\r\n");
        }
        --running;
        finished->store(true);
    });
    workers.push_back(std::move(worker));
}

size_t runningWorkerThreads() {
    return running.load();
}

void joinWorkerThreads() {
    for (;;) {
        std::thread next;
        {
            std::lock_guard lock(workersMutex);
            if (workers.empty()) return;
            next = std::move(workers.front().thread);
            workers.pop_front();
        }
        // Joined outside the lock: the thread may be starting another one.
        next.join();
    }
}

}  // namespace core
