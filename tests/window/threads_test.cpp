#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "core/ReportCallbacks.h"
#include "core/Services.h"
#include "core/WindowThreadCaller.h"
#include "core/WorkerThreads.h"

namespace {

// The test's thread plays the window thread.
class Loop {
  public:
    Loop() : caller([this] { ++wakes; }) {}
    // Runs queued work until `done` holds.
    void runUntil(const std::function<bool()>& done) {
        while (!done()) {
            if (!caller.runOne()) caller.waitForWork(std::chrono::milliseconds(1));
        }
    }
    std::atomic<int> wakes{0};
    core::WindowThreadCaller caller;
};

TEST(WindowThreadCaller, CallsFromAWorkerRunOnTheWindowThreadAndWait) {
    Loop loop;
    const std::thread::id window = std::this_thread::get_id();
    std::thread::id ranOn;
    std::atomic<bool> returned{false};
    bool ranBeforeReturn = false;
    std::thread worker([&] {
        EXPECT_FALSE(loop.caller.onWindowThread());
        bool ran = false;
        EXPECT_TRUE(loop.caller.call([&] {
            ranOn = std::this_thread::get_id();
            ran = true;
        }));
        ranBeforeReturn = ran;
        returned = true;
    });
    loop.runUntil([&] { return returned.load(); });
    worker.join();
    EXPECT_EQ(ranOn, window);
    EXPECT_TRUE(ranBeforeReturn);
    EXPECT_EQ(loop.wakes, 1);

    // On the window thread itself: at once.
    bool direct = false;
    EXPECT_TRUE(loop.caller.call([&] { direct = true; }));
    EXPECT_TRUE(direct);
}

TEST(WindowThreadCaller, AnErrorComesBackToTheCaller) {
    Loop loop;
    std::atomic<bool> returned{false};
    std::thread worker([&] {
        EXPECT_THROW(loop.caller.call([] { throw std::runtime_error("bad"); }), std::runtime_error);
        returned = true;
    });
    loop.runUntil([&] { return returned.load(); });
    worker.join();
}

TEST(WindowThreadCaller, ClosingReleasesEveryWaiter) {
    Loop loop;
    std::atomic<int> waiting{0};
    std::atomic<int> results{0};
    std::atomic<bool> ran{false};
    std::vector<std::thread> workers;
    for (int i = 0; i < 3; ++i) {
        workers.emplace_back([&] {
            ++waiting;
            if (!loop.caller.call([&] { ran = true; })) ++results;
        });
    }
    // All three wait, their work queued and not run.
    while (loop.wakes < 3) std::this_thread::yield();
    loop.caller.close();
    for (auto& w : workers) w.join();
    EXPECT_EQ(results, 3);
    // Work queued before the close never runs after it.
    EXPECT_FALSE(loop.caller.runOne());
    EXPECT_FALSE(ran);
    EXPECT_FALSE(loop.caller.call([&] { ran = true; }));
    loop.caller.post([&] { ran = true; });
    EXPECT_FALSE(ran);
}

TEST(WorkerThreads, JoinWaitsForThreadsStartedByThreads) {
    std::atomic<int> finished{0};
    for (int i = 0; i < 4; ++i) {
        core::threads().start("outer", [&] {
            core::threads().start("inner", [&] {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
                ++finished;
            });
            ++finished;
        });
    }
    core::joinWorkerThreads();
    EXPECT_EQ(finished, 8);
    EXPECT_EQ(core::runningWorkerThreads(), 0u);
}

}  // namespace
