// quorta-screenshots: runs the window against the simulated GPS through its
// main states and saves each as a PNG (`make screenshots`, under Xvfb).
//
//   quorta-screenshots OUTPUT_FOLDER
#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "MainWindow.h"
#include "QtFrontEnd.h"
#include "RecoveryDialog.h"
#include "SimulatedComputer.h"
#include "core/CommandLink.h"
#include "core/Context.h"
#include "core/DevicePermission.h"
#include "core/DeviceRecord.h"
#include "core/ReportCallbacks.h"
#include "core/Services.h"
#include "core/StatusReporting.h"
#include "core/UpdateWorkers.h"
#include "core/UpdaterState.h"
#include "core/WindowProcedure.h"
#include "hidport/hidport.h"
#include "platform/Clock.h"
#include "platform/linux/TextOutput.h"
#include "sim/SimulatedMachine.h"

namespace {

QString outputDir;
int failures = 0;
int remindersAnswered = 0;

// The screen around every visible window, as the user sees them together.
void grab(const QString& name) {
    QRect area;
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (w->isVisible()) area = area.united(w->frameGeometry());
    }
    QScreen* screen = QGuiApplication::primaryScreen();
    if (area.isEmpty() || !screen) {
        std::fprintf(stderr, "screenshots: nothing to grab for %s\n", qPrintable(name));
        ++failures;
        return;
    }
    area.adjust(-8, -8, 8, 8);
    area = area.intersected(screen->geometry());
    QApplication::processEvents();
    const QPixmap shot = screen->grabWindow(0, area.x(), area.y(), area.width(), area.height());
    const QString path = QDir(outputDir).filePath(name + ".png");
    if (!shot.save(path)) {
        std::fprintf(stderr, "screenshots: cannot write %s\n", qPrintable(path));
        ++failures;
        return;
    }
    std::printf("%s\n", qPrintable(path));
}

// One run of the window: the states to catch, in order, and the answers to
// the message boxes on the way.
struct Step {
    QString shot;                                  // file name, or empty for none
    std::function<bool()> ready;                   // when the window shows the state
    std::function<void(ui_qt::MainWindow&)> then;  // what to do next (may be empty)
};

struct BoxRule {
    std::string captionOrText;  // matched against caption, then text
    QMessageBox::StandardButton answer;
    QString shot;  // grab the box first under this name, or empty
};

class Director : public QObject {
  public:
    Director(ui_qt::MainWindow& window, std::vector<Step> steps, std::vector<BoxRule> boxes)
        : window_(window), steps_(std::move(steps)), boxes_(std::move(boxes)) {
        timer_.setInterval(20);
        QObject::connect(&timer_, &QTimer::timeout, this, [this] { tick(); });
        timer_.start();
        deadline_.start();
    }
    bool finished() const { return next_ >= steps_.size(); }

  private:
    void tick() {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            answer(box);
            return;
        }
        if (finished()) return;
        if (deadline_.elapsed() > 120000) {
            std::fprintf(stderr,
                         "screenshots: gave up waiting for %s (title \"%s\", detail \"%s\")\n",
                         qPrintable(steps_[next_].shot), core::state().statusTitle().c_str(),
                         core::state().statusDetail().c_str());
            ++failures;
            QCoreApplication::exit(1);
            return;
        }
        Step& step = steps_[next_];
        if (!step.ready()) return;
        ++next_;
        if (!step.shot.isEmpty()) grab(step.shot);
        // Outside this timer's handler: a box opened by the action must not
        // stop the timer that answers it.
        if (step.then) {
            auto then = step.then;
            QTimer::singleShot(0, this, [this, then] { then(window_); });
        }
    }

    void answer(QMessageBox* box) {
        // Marked on the box itself: a new box may reuse a freed address.
        if (box->property("answeredByDirector").toBool()) return;
        box->setProperty("answeredByDirector", true);
        const std::string caption = box->windowTitle().toStdString();
        const std::string text = box->text().toStdString();
        for (const BoxRule& rule : boxes_) {
            if (caption == rule.captionOrText || text.find(rule.captionOrText) == 0) {
                if (caption == core::kBackupReminderCaption) ++remindersAnswered;
                if (!rule.shot.isEmpty()) {
                    box->adjustSize();
                    QApplication::processEvents();
                    grab(rule.shot);
                }
                box->button(rule.answer)->click();
                return;
            }
        }
        std::fprintf(stderr, "screenshots: unexpected box \"%s\": %s\n", caption.c_str(),
                     text.c_str());
        ++failures;
        box->button(box->escapeButton() ? box->standardButton(box->escapeButton())
                                        : QMessageBox::Ok)
            ->click();
    }

    ui_qt::MainWindow& window_;
    std::vector<Step> steps_;
    std::vector<BoxRule> boxes_;
    size_t next_ = 0;
    QTimer timer_;
    QElapsedTimer deadline_;
};

// A fresh process state and a simulated computer with `configure` applied,
// wired as the program wires it.
void runScene(const std::function<void(sim::SimulatedMachine&)>& configure, std::vector<Step> steps,
              std::vector<BoxRule> boxes) {
    core::ScopedContext context(hidport::Backend::Simulated);
    platform::StderrDebugOutput debugOutput;
    screenshots::SimulatedComputer computer;
    configure(*computer.machine);
    core::Services services;
    computer.wire(services);
    // The whole log on standard error when asked for.
    if (std::getenv("QUORTA_SCREENSHOTS_LOG")) services.debugOutput = &debugOutput;
    core::setServices(services);
    core::installReportCallbacks();
    {
        ui_qt::MainWindow window(nullptr, &computer.machine->deviceEvents());
        core::services().window = &window;
        Director director(window, std::move(steps), std::move(boxes));
        window.create();
        window.show();
        window.afterShow();
        if (!window.quitRequested()) QApplication::exec();
        window.shutDown();
        computer.threads.joinAll();
        core::services().window = nullptr;
    }
}

bool titleIs(const char* text) {
    return core::state().statusTitle() == text;
}

// A GPS whose hidraw node this user may not open (no udev rules installed).
class DeniedNode : public hidport::SimulatedHidDevice {
  public:
    uint16_t vendorId() const override { return core::kGpsVendorId; }
    uint16_t productId() const override { return core::kGpsAppProductId; }
    size_t outputReportLength() const override { return 65; }
    bool open() override { return false; }
    std::string permissionDeniedNode() const override { return "/dev/hidraw3"; }
    void close() override {}
    int read(unsigned char*, size_t, int) override { return -1; }
    int write(const unsigned char*, size_t, int) override { return -1; }
};

void end(ui_qt::MainWindow& window) {
    window.destroy();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: quorta-screenshots OUTPUT_FOLDER\n");
        return 2;
    }
    QApplication app(argc, argv);
    // Names, icon and end rule as the program's own.
    ui_qt::setUpApplication();
    outputDir = QString::fromLocal8Bit(argv[1]);
    if (!QDir().mkpath(outputDir)) {
        std::fprintf(stderr, "screenshots: cannot make %s\n", argv[1]);
        return 1;
    }
    platform::setSharedClockScale(0.05);

    // No device: the backup reminder, the window, the About box.
    runScene(
        [](sim::SimulatedMachine&) {},
        {
            {"01-no-device", [] { return titleIs(core::kConnectTitle) && remindersAnswered > 0; },
             [](ui_qt::MainWindow& w) { w.chooseMenuItem(core::kMenuAbout); }},
            {"", [] { return true; }, end},
        },
        {
            {core::kBackupReminderCaption, QMessageBox::No, "00-backup-reminder"},
            {"About", QMessageBox::Ok, "02-about"},
        });

    // A device that only starts in its ROM bootloader: the recovery dialog.
    runScene(
        [](sim::SimulatedMachine& machine) {
            machine.addGps(sim::GpsConfig{}).plugIn(sim::GpsMode::RomBootloader);
        },
        {
            {"", [] { return core::state().recoveryDialogOpen && remindersAnswered > 1; },
             [](ui_qt::MainWindow& w) {
                 if (ui_qt::RecoveryDialog* d = w.recoveryDialog()) {
                     d->move(w.frameGeometry().right() + 12, w.y());
                     d->control(1013)->click();
                 }
             }},
            {"03-recovery-dialog", [] { return core::state().recoveryDeviceType == 13; }, end},
        },
        {{core::kBackupReminderCaption, QMessageBox::No, ""}});

    // The whole update of a Japanese Osprey Max at 12.10 with an older radio.
    auto buttonSays = [](ui_qt::MainWindow& w, const char* text) {
        return w.updateButton()->isVisible() && w.updateButton()->text() == text;
    };
    ui_qt::MainWindow* shown = nullptr;
    runScene(
        [](sim::SimulatedMachine& machine) {
            sim::GpsConfig config;
            config.deviceType = 13;
            config.versionMajor = 12;
            config.versionMinor = 10;
            config.radioBuild = 1332013;
            machine.addGps(config).plugIn(sim::GpsMode::Application);
        },
        {
            {"04-update-offered",
             [&] {
                 shown = dynamic_cast<ui_qt::MainWindow*>(core::services().window);
                 return remindersAnswered > 2 && buttonSays(*shown, "Update to 14.51");
             },
             [](ui_qt::MainWindow& w) { w.updateButton()->click(); }},
            {"06-updating",
             [] {
                 return core::unplugWarningShown() &&
                        core::state().statusDetail().rfind("Flashing", 0) == 0;
             },
             nullptr},
            // The bar measures the write: well into it, not yet at its end.
            {"06-writing-progress",
             [&] {
                 const QProgressBar* bar = shown->progressBar();
                 return bar->isVisible() && bar->maximum() == 100 && bar->value() >= 40 &&
                        bar->value() < 100;
             },
             nullptr},
            {"07-fully-updated",
             [&] {
                 return core::state().statusDetail() == "Latest software is installed on device" &&
                        !shown->progressBar()->isVisible() && buttonSays(*shown, "OK");
             },
             end},
        },
        {{core::kBackupReminderCaption, QMessageBox::No, ""},
         {"", QMessageBox::Ok, "05-update-confirm"}});

    // A GPS this user may not open: the window tells how to fix it.
    auto denied = std::make_shared<DeniedNode>();
    runScene(
        [&](sim::SimulatedMachine& machine) {
            machine.usbDevices().addDevice("USB\\VID_2B29&PID_0055&REV_0100");
            hidport::addSimulatedDevice(denied);
        },
        {{"08-no-permission",
          [] {
              return remindersAnswered > 3 &&
                     core::state().statusDetail() == core::kPermissionDeniedDetail;
          },
          end}},
        {{core::kBackupReminderCaption, QMessageBox::No, ""}});
    hidport::removeSimulatedDevice(denied.get());

    std::printf("%d screenshot(s) failed\n", failures);
    return failures == 0 ? 0 : 1;
}
