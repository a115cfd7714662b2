// The worker threads: how they are started, the one-worker guard, and the
// ends of a worker that cannot reach the device.
#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <thread>

#include "WorkflowTestSupport.h"
#include "core/CommandLink.h"
#include "core/UpdateWorkers.h"

namespace {

using testing_support::FakeThreads;
using testing_support::RecordingWindow;

TEST(StdThreadsTest, JoinAllWaitsForTasksAndTheTasksTheyStart) {
    std::atomic<int> done{0};
    platform::StdThreads threads;
    threads.start("outer", [&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        threads.start("inner", [&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            ++done;
        });
        ++done;
    });
    threads.joinAll();
    EXPECT_EQ(done.load(), 2);
    EXPECT_EQ(threads.running(), 0u);
    EXPECT_EQ(threads.started(), 2u);
}

TEST(StdThreadsTest, DestructionWaitsForEveryTask) {
    std::atomic<int> done{0};
    {
        platform::StdThreads threads;
        for (int i = 0; i < 8; ++i) {
            threads.start("task", [&] {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
                ++done;
            });
        }
    }
    EXPECT_EQ(done.load(), 8);
}

class WorkersTest : public testing_support::WorkflowTest {
  protected:
    void SetUp() override {
        WorkflowTest::SetUp();
        services.window = &window;
        applyServices();
    }
    bool windowCalled(const std::string& call) {
        return std::find(window.calls.begin(), window.calls.end(), call) != window.calls.end();
    }
    RecordingWindow window;
};

TEST_F(WorkersTest, OnlyOneUpdateWorkerRuns) {
    // No window for the threads (the recording one is not made for them).
    services.window = nullptr;
    threads.mode = FakeThreads::Mode::Real;
    platform::ScaledClock slow(0.05);  // the worker's waits last long enough to overlap
    services.clock = &slow;
    applyServices();
    core::state().GNormDevID = 5;
    // A type 5 is connected: its image is checked before the JUMP_TO_BL.
    core::DeviceRecord record;
    record.deviceType = 5;
    core::deviceRecord().store(record);
    core::reportCallbacks().currentDevice = &core::deviceRecord();

    constexpr int kWorkers = 4;
    std::latch go(kWorkers);
    for (int i = 0; i < kWorkers; ++i) {
        threads.start(core::kUpdateWorkerName, [&] {
            go.arrive_and_wait();
            core::updateWorkerThread();
        });
    }
    threads.real.joinAll();

    EXPECT_EQ(countLog("\r\n- Already Update Thread Active\r\n"), kWorkers - 1);
    EXPECT_EQ(countLog("REVERSE UPGRADE REQUIRED\r\n"), 1);
    EXPECT_TRUE(logged("Open HID device failed\r\n"));
    EXPECT_FALSE(core::state().updateThreadActive);
    // The device would be on its way into its bootloader.
    EXPECT_TRUE(core::state().updateInProgress);
    EXPECT_TRUE(core::state().reverseUpgrade);
    EXPECT_EQ(core::state().gcbn, 60);
}

TEST_F(WorkersTest, StartersShowTheBusyLookAndStartNamedThreads) {
    core::startUpdateWorkerThread();
    core::startUpdateNordic();
    EXPECT_EQ(threads.startedNames(),
              (std::vector<std::string>{core::kUpdateWorkerName, core::kWirelessWorkerName}));
    EXPECT_TRUE(core::state().updateInProgress);
    EXPECT_TRUE(window.isVisible(core::Control::ProgressBar));
    EXPECT_FALSE(window.isVisible(core::Control::UpdateButton));

    // A worker started while another runs ends at once.
    core::state().updateThreadActive = true;
    threads.runDeferred();
    EXPECT_EQ(countLog("\r\n- Already Update Thread Active\r\n"), 1);
    EXPECT_EQ(countLog("\r\n- Nordic Already Update Thread Active\r\n"), 1);
    EXPECT_TRUE(core::state().updateThreadActive);
}

TEST_F(WorkersTest, UpdateWorkerWithoutAModelAsksTheRadioAndEndsTheProgram) {
    // GNormDevID 99: no record was read, so the radio is asked first.
    threads.mode = FakeThreads::Mode::Inline;
    core::startUpdateWorkerThread();
    EXPECT_TRUE(logged("Start A gcbn:0 dlv:0\r\n"));
    EXPECT_FALSE(logged("Start B gcbn:0 dlv:0\r\n"));
    EXPECT_TRUE(windowCalled(std::string("box ") + core::kWirelessProblemCaption + ": " +
                             core::kNoCommunicationText));
    EXPECT_TRUE(windowCalled("destroy"));
    EXPECT_FALSE(core::state().updateThreadActive);
}

TEST_F(WorkersTest, WirelessWorkerWithoutADeviceEndsTheProgram) {
    threads.mode = FakeThreads::Mode::Inline;
    core::startUpdateNordic();
    EXPECT_TRUE(logged("Nordic Start A gcbn:0 dlv:0\r\n"));
    EXPECT_FALSE(logged("Nordic Start B gcbn:0 dlv:0\r\n"));
    EXPECT_TRUE(windowCalled(std::string("box ") + core::kWirelessProblemCaption + ": " +
                             core::kNoCommunicationText));
    EXPECT_TRUE(windowCalled("destroy"));
    EXPECT_FALSE(core::state().updateThreadActive);
}

TEST_F(WorkersTest, BootloaderModeThreadProgramsTheProductIdTheScanSaw) {
    core::state().scannedProductId = 11 + 60;
    core::startOnBootloaderModeThread();
    core::state().scannedProductId = 0x55;  // a later scan saw something else
    EXPECT_EQ(threads.startedNames(), std::vector<std::string>{core::kBootloaderModeName});

    const int64_t before = clock.totalSleptMs();
    threads.runDeferred();
    EXPECT_TRUE(
        logged("\r\n- startOnBootloaderModeThread GRawDevID:99 GNormDevID:99 gcbn:0 dlv:0\r\n"));
    EXPECT_EQ(core::state().bootloaderProductId, 11 + 60);
    EXPECT_EQ(core::state().bootloaderVendorId, core::kGpsVendorId);
    // 1.5 s to settle, then the whole driver wait (nothing answers) before
    // the (failing) erase.
    EXPECT_GE(clock.totalSleptMs() - before, 1500);
    EXPECT_TRUE(logged("Driver wait: no answer from the bootloader in 45.0 sec\r\n"));
    EXPECT_TRUE(logged("Flash erase failed\r\n"));
}

}  // namespace
