#include <QMainWindow>
#include <filesystem>
#include <thread>

#include "GuiTestSupport.h"
#include "MainWindow.h"
#include "QtFrontEnd.h"
#include "core/Services.h"
#include "core/WorkerThreads.h"
#include "platform/DeviceEvents.h"
#include "platform/linux/FlockInstanceLock.h"

namespace {

// Delivers one volume arrival from a thread of its own.
class OneArrival : public platform::DeviceEvents {
  public:
    bool start(Sink sink) override {
        thread_ = std::thread([sink] { sink(platform::DeviceEvent::VolumeArrival); });
        return true;
    }
    void stop() override {
        if (thread_.joinable()) thread_.join();
        stopped = true;
    }
    bool stopped = false;

  private:
    std::thread thread_;
};

class ProgramEndTest : public gui_testing::GuiTest {
  protected:
    void SetUp() override {
        GuiTest::SetUp();
        char pattern[] = "/tmp/quorta-gui-XXXXXX";
        dir = ::mkdtemp(pattern);
        context.lockName = core::kInstanceLockName;
    }
    void TearDown() override {
        GuiTest::TearDown();
        std::filesystem::remove_all(dir);
    }
    bool anyMainWindow() {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (qobject_cast<QMainWindow*>(w)) return true;
        }
        return false;
    }
    std::string dir;
    core::FrontEndContext context;
};

TEST_F(ProgramEndTest, ASecondInstanceSaysSoAndOpensNoWindow) {
    platform::FlockInstanceLock first(dir);
    ASSERT_TRUE(first.acquire(core::kInstanceLockName));
    platform::FlockInstanceLock second(dir);
    context.lock = &second;
    boxes.fallback = QMessageBox::Ok;
    EXPECT_EQ(ui_qt::runQtFrontEnd(context), 0);
    ASSERT_EQ(boxes.seen.size(), 1u);
    EXPECT_EQ(boxes.seen[0].text, "You already have updater running.");
    EXPECT_EQ(boxes.seen[0].caption, "Quorta GPS Updater Message");
    EXPECT_EQ(boxes.seen[0].buttons, QMessageBox::Ok);
    EXPECT_FALSE(anyMainWindow());
}

TEST_F(ProgramEndTest, AWorkersFatalEndClosesTheProgramInOrder) {
    platform::FlockInstanceLock lock(dir);
    OneArrival events;
    context.lock = &lock;
    context.events = &events;
    std::thread::id gui = std::this_thread::get_id();
    std::thread::id arrivalOn;
    std::atomic<int> callsAfterClose{0};
    core::workflows().onDeviceArrival = [&] {
        arrivalOn = std::this_thread::get_id();
        // A worker that keeps talking to the window, and one that fails.
        core::threads().start("talker", [&] {
            for (int i = 0; i < 200; ++i) {
                core::sendStatus(0, nullptr, "Working...");
                core::logLine("still working\r\n");
            }
            ++callsAfterClose;
        });
        core::threads().start("failer", [] {
            core::Window* w = core::services().window;
            w->messageBox("We could not begin communication with the Quorta GPS.",
                          "Wireless Firmware Update Problem", core::BoxButtons::Ok,
                          core::BoxIcon::None);
            w->destroy();
        });
    };
    boxes.answer("Wireless Firmware Update Problem", QMessageBox::Ok);

    EXPECT_EQ(ui_qt::runQtFrontEnd(context), 0);
    EXPECT_EQ(arrivalOn, gui);
    EXPECT_TRUE(events.stopped);
    EXPECT_EQ(core::runningWorkerThreads(), 0u);
    EXPECT_EQ(callsAfterClose, 1);
    EXPECT_EQ(core::services().window, nullptr);
    EXPECT_NE(std::find(boxes.captions().begin(), boxes.captions().end(),
                        "Wireless Firmware Update Problem"),
              boxes.captions().end());
    // The lock is free again.
    platform::FlockInstanceLock next(dir);
    EXPECT_TRUE(next.acquire(core::kInstanceLockName));
}

TEST_F(ProgramEndTest, ExitFromTheMenu) {
    platform::FlockInstanceLock lock(dir);
    context.lock = &lock;
    core::workflows().onDevNodesChanged = [] {
        // Chosen once the loop runs.
        QTimer::singleShot(50, [] {
            auto* w = dynamic_cast<ui_qt::MainWindow*>(core::services().window);
            w->chooseMenuItem(core::kMenuExit);
        });
    };
    EXPECT_EQ(ui_qt::runQtFrontEnd(context), 0);
    platform::FlockInstanceLock next(dir);
    EXPECT_TRUE(next.acquire(core::kInstanceLockName));
}

}  // namespace
