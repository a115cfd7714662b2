#include <QAccessible>
#include <QAction>
#include <QImage>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <atomic>
#include <thread>

#include "GuiTestSupport.h"
#include "MainWindow.h"
#include "StatusCanvas.h"
#include "core/Services.h"

namespace {

using gui_testing::waitFor;

class MainWindowTest : public gui_testing::WindowTest {
  protected:
    void connectDevice(const std::string& label) {
        core::DeviceRecord r;
        r.dlv = core::kJapaneseVariant;
        r.updateLabel = label;
        r.promptText = "Please do not unplug your device.  This will take a few minutes.";
        core::deviceRecord().store(r);
        core::reportCallbacks().currentDevice = &core::deviceRecord();
    }
    // Red pixels of the warning's colour in the painted client area.
    int redPixels() {
        const QImage image = window->canvas()->grab().toImage();
        int red = 0;
        const QRect r = ui_qt::StatusCanvas::warningRect();
        for (int y = r.top(); y <= r.bottom() && y < image.height(); ++y) {
            for (int x = r.left(); x <= r.right(); ++x) {
                const QColor c = image.pixelColor(x, y);
                if (c.red() > 200 && c.green() < 60 && c.blue() < 60) ++red;
            }
        }
        return red;
    }
};

TEST_F(MainWindowTest, StartUpStateAndTheReminderOnce) {
    start();
    EXPECT_EQ(window->windowTitle().toStdString(), "Quorta GPS Firmware Programmer");
    EXPECT_EQ(window->width(), 300);
    EXPECT_EQ(window->canvas()->width(), 300);
    EXPECT_EQ(window->canvas()->height(), 500 - window->menuBar()->height());
    EXPECT_EQ(window->minimumSize(), window->maximumSize());
    EXPECT_EQ(core::state().statusTitle(), "Please connect your\nQuorta GPS Device");
    EXPECT_FALSE(window->updateButton()->isVisible());
    EXPECT_FALSE(window->progressBar()->isVisible());
    EXPECT_FALSE(window->logView()->isVisible());
    EXPECT_EQ(window->progressBar()->minimum(), window->progressBar()->maximum());
    EXPECT_EQ(window->updateButton()->geometry(), QRect(52, 340, 194, 30));
    EXPECT_EQ(window->progressBar()->geometry(), QRect(52, 300, 194, 30));
    EXPECT_EQ(window->logView()->geometry(), QRect(20, 60, 250, 230));
    for (int id : {core::kMenuFactoryReset, core::kMenuLanguagePacks, core::kMenuLoadStandard,
                   core::kMenuLoadJapan, core::kMenuForceUpdate}) {
        EXPECT_FALSE(window->menuItemEnabled(id)) << id;
        // Disabled without greying.
        EXPECT_TRUE(window->menuAction(id)->isEnabled()) << id;
    }
    EXPECT_TRUE(window->menuItemEnabled(core::kMenuAbout));
    EXPECT_TRUE(window->menuItemEnabled(core::kMenuShowLog));
    EXPECT_TRUE(window->menuItemEnabled(core::kMenuExit));

    ASSERT_TRUE(waitFor([&] { return !boxes.seen.empty(); }));
    const gui_testing::SeenBox& reminder = boxes.seen[0];
    EXPECT_EQ(reminder.caption, core::kBackupReminderCaption);
    EXPECT_EQ(reminder.text, core::kBackupReminderText);
    EXPECT_EQ(reminder.icon, QMessageBox::Warning);
    EXPECT_EQ(reminder.buttons, QMessageBox::Yes | QMessageBox::No);
    EXPECT_EQ(reminder.fontFamilies.value(0), "Noto Sans CJK JP");
    // Never again in this run.
    QTest::qWait(100);
    EXPECT_EQ(boxes.seen.size(), 1u);
}

TEST_F(MainWindowTest, MenuItemsInOrderAndDisabledOnesDoNothing) {
    start();
    const QList<QAction*> top = window->menuBar()->actions();
    ASSERT_EQ(top.size(), 1);
    EXPECT_EQ(top[0]->text().toStdString(), "Quorta Gps Firmware Programmer");
    QStringList items;
    for (QAction* a : top[0]->menu()->actions()) {
        items << (a->isSeparator() ? QStringLiteral("-") : a->text());
        if (a->menu()) {
            for (QAction* b : a->menu()->actions()) {
                items << QStringLiteral("  ") +
                             (b->isSeparator() ? QStringLiteral("-") : b->text());
            }
        }
    }
    EXPECT_EQ(
        items,
        (QStringList{"&About ...", "-", "Restore device to factory defaults", "Show log",
                     "Advanced", "  Force update", "  -", "  Erase Encryption Key Storage", "  -",
                     "  LOAD STANDARD FIRMWARE NOW", "  -", "  -", "  LOAD JAPAN FIRMWARE NOW",
                     "  -", "  -", "  LOAD Language Packs", "-", "E&xit Quorta Gps Updater"}));

    // Each pair of separators is drawn as two lines, not collapsed into one.
    for (QAction* a : top[0]->menu()->actions()) {
        if (!a->menu()) continue;
        for (QAction* b : a->menu()->actions()) {
            if (b->isSeparator()) {
                EXPECT_GT(a->menu()->actionGeometry(b).height(), 0);
            }
        }
    }

    int starts = 0;
    core::workflows().startUpdateWorkerThread = [&] { ++starts; };
    window->menuAction(core::kMenuForceUpdate)->trigger();
    window->menuAction(core::kMenuLoadJapan)->trigger();
    EXPECT_EQ(starts, 0);
    window->enableMenuItem(core::kMenuForceUpdate, true);
    connectDevice("");
    window->menuAction(core::kMenuForceUpdate)->trigger();
    EXPECT_EQ(starts, 1);
    EXPECT_TRUE(core::state().reverseUpgrade);
}

TEST_F(MainWindowTest, AcceleratorsOpenTheAboutBox) {
    start();
    ASSERT_TRUE(reminderAnswered());
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    QTest::keyClick(window.get(), Qt::Key_Slash, Qt::AltModifier);
    ASSERT_TRUE(waitFor([&] { return boxes.seen.size() == 2; }));
    ASSERT_TRUE(waitFor([] { return QApplication::activeModalWidget() == nullptr; }));
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    QTest::keyClick(window.get(), Qt::Key_Question, Qt::AltModifier | Qt::ShiftModifier);
    ASSERT_TRUE(waitFor([&] { return boxes.seen.size() == 3; }));
    for (size_t i : {1u, 2u}) {
        EXPECT_EQ(boxes.seen[i].caption, "About");
        EXPECT_EQ(boxes.seen[i].text, ui_qt::displayText(core::aboutText()).toStdString());
        EXPECT_EQ(boxes.seen[i].buttons, QMessageBox::Ok);
    }
    EXPECT_NE(boxes.seen[1].text.find(" Osprey GPS \t7.63\n"), std::string::npos);
}

TEST_F(MainWindowTest, ShowLogTwiceWithLinesFromAWorker) {
    start();
    std::atomic<bool> done{false};
    std::thread worker([&] {
        core::logLine("line from a worker\r\n");
        done = true;
    });
    // The worker waits for the window thread to take the line.
    ASSERT_TRUE(waitFor([&] { return done.load(); }));
    worker.join();
    EXPECT_FALSE(window->logView()->isVisible());
    window->chooseMenuItem(core::kMenuShowLog);
    EXPECT_TRUE(window->logView()->isVisible());
    EXPECT_TRUE(window->logView()->toPlainText().contains("line from a worker\n"));
    EXPECT_FALSE(window->logView()->toPlainText().contains('\r'));
    window->chooseMenuItem(core::kMenuShowLog);
    EXPECT_FALSE(window->logView()->isVisible());
}

TEST_F(MainWindowTest, ActionButtonsThreePaths) {
    start();
    ASSERT_TRUE(reminderAnswered());
    int starts = 0;
    core::workflows().startUpdateWorkerThread = [&] { ++starts; };
    connectDevice("Update to 14.51");
    window->setButtonText("Update to 14.51");
    window->showControl(core::Control::UpdateButton, true);

    boxes.answer("", QMessageBox::Cancel);
    window->updateButton()->click();
    ASSERT_EQ(boxes.seen.size(), 2u);
    EXPECT_EQ(boxes.seen[1].text,
              "Please do not unplug your device.  This will take a few minutes.");
    EXPECT_EQ(boxes.seen[1].caption, "");
    EXPECT_EQ(boxes.seen[1].icon, QMessageBox::Question);
    EXPECT_EQ(boxes.seen[1].buttons, QMessageBox::Ok | QMessageBox::Cancel);
    EXPECT_EQ(starts, 0);

    boxes.answer("", QMessageBox::Ok);
    window->updateButton()->click();
    EXPECT_EQ(starts, 1);
    EXPECT_FALSE(window->quitRequested());

    connectDevice("");
    window->setButtonText("OK");
    window->updateButton()->click();
    EXPECT_TRUE(window->quitRequested());
    EXPECT_EQ(window->exitCode(), 0);
}

TEST_F(MainWindowTest, FactoryResetThatCannotReachTheDevice) {
    start();
    ASSERT_TRUE(reminderAnswered());
    core::workflows().factoryReset = [] { return false; };
    window->enableMenuItem(core::kMenuFactoryReset, true);
    boxes.answer("FACTORY RESET", QMessageBox::Yes);
    boxes.fallback = QMessageBox::Ok;
    window->chooseMenuItem(core::kMenuFactoryReset);
    EXPECT_EQ(boxes.captions(),
              (std::vector<std::string>{core::kBackupReminderCaption, "FACTORY RESET",
                                        "Factory Reset", "Factory Reset Failed"}));
    EXPECT_EQ(boxes.seen[3].text,
              "Please make sure device is plugged in. Unplug and reconnect if already plugged.");
    EXPECT_FALSE(window->progressBar()->isVisible());
    EXPECT_FALSE(core::state().factoryResetPending);
    EXPECT_FALSE(window->menuItemEnabled(core::kMenuFactoryReset));
}

TEST_F(MainWindowTest, StatusFromAWorkerIsPaintedWithTheWarning) {
    start();
    EXPECT_EQ(redPixels(), 0);
    std::atomic<bool> done{false};
    std::thread worker([&] {
        core::state().updateInProgress = true;
        core::sendStatus(0, "Osprey Max connected\nUpdating", "Working...");
        done = true;
    });
    ASSERT_TRUE(waitFor([&] { return done.load(); }));
    worker.join();
    EXPECT_EQ(core::state().statusDetail(), "Working...");
    EXPECT_GT(redPixels(), 200);
    // What a screen reader gets of the painted texts.
    QAccessibleInterface* canvas = QAccessible::queryAccessibleInterface(window->canvas());
    ASSERT_NE(canvas, nullptr);
    EXPECT_EQ(canvas->text(QAccessible::Name), "Osprey Max connected\nUpdating");
    EXPECT_EQ(canvas->text(QAccessible::Description), "Working...");
    core::state().updateInProgress = false;
    window->repaintNow();
    EXPECT_EQ(redPixels(), 0);
}

}  // namespace

namespace {

TEST(AreaScaled, EveryPixelIsTheAverageOfWhatItCovers) {
    QImage source(3, 1, QImage::Format_ARGB32);
    source.setPixel(0, 0, qRgb(255, 255, 255));
    source.setPixel(1, 0, qRgb(255, 0, 0));
    source.setPixel(2, 0, qRgb(0, 0, 0));
    const QImage out = ui_qt::areaScaled(source, QSize(2, 1));
    ASSERT_EQ(out.size(), QSize(2, 1));
    // 1.5 source pixels each: white and half of red, half of red and black.
    EXPECT_EQ(QColor(out.pixel(0, 0)), QColor(255, 170, 170));
    EXPECT_EQ(QColor(out.pixel(1, 0)), QColor(85, 0, 0));
}

}  // namespace
