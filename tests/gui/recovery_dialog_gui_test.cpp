#include <QAbstractButton>
#include <QCheckBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>

#include "GuiTestSupport.h"
#include "MainWindow.h"
#include "RecoveryDialog.h"
#include "core/Services.h"

namespace {

using gui_testing::waitFor;

class RecoveryDialogGuiTest : public gui_testing::WindowTest {
  protected:
    void SetUp() override {
        WindowTest::SetUp();
        start();
        EXPECT_TRUE(reminderAnswered());
        core::workflows().onEmergencyProgramFlashMode = [this](core::SharedDeviceRecord&, int type,
                                                               int variant) {
            programmed.emplace_back(type, variant);
        };
    }
    ui_qt::RecoveryDialog* open() {
        window->sendMessage(core::WindowMessage::CreateRecoveryModeDlg);
        return window->recoveryDialog();
    }
    std::vector<int> ticked(ui_qt::RecoveryDialog* d) {
        std::vector<int> ids;
        for (const core::DialogControl& c : core::kRecoveryDialogControls) {
            if (c.kind == core::DialogControlKind::CheckBox && d->isChecked(c.id)) {
                ids.push_back(c.id);
            }
        }
        return ids;
    }

    std::vector<std::pair<int, int>> programmed;
};

TEST_F(RecoveryDialogGuiTest, LabelsOrderAndFirstState) {
    ui_qt::RecoveryDialog* d = open();
    ASSERT_TRUE(d);
    EXPECT_TRUE(d->isVisible());
    EXPECT_EQ(d->windowTitle(), "Emergency Recovery Mode");
    EXPECT_FALSE(d->isModal());
    EXPECT_EQ(d->parentWidget(), window.get());
    EXPECT_TRUE(d->findChild<QLabel*>()->text() == "Recovery Mode Carefully Choose Your Device");
    for (const core::DialogControl& c : core::kRecoveryDialogControls) {
        if (c.id == 0) continue;
        ASSERT_TRUE(d->control(c.id)) << c.id;
        EXPECT_EQ(d->control(c.id)->text().toStdString(), c.text);
    }
    EXPECT_TRUE(static_cast<QPushButton*>(d->control(1))->isDefault());
    // Tab order: the dialog's own order of controls.
    QWidget* w = d->control(1);
    std::vector<int> order;
    for (int steps = 0; steps < 100 && order.size() < 17; ++steps) {
        for (const core::DialogControl& c : core::kRecoveryDialogControls) {
            if (c.id && d->control(c.id) == w) order.push_back(c.id);
        }
        w = w->nextInFocusChain();
        while (w && !d->isAncestorOf(w)) w = w->nextInFocusChain();
    }
    EXPECT_EQ(order, (std::vector<int>{1, 2, 1005, 1006, 1007, 1008, 1009, 1010, 1004, 1011, 1012,
                                       1060, 1099, 1013, 1014, 1015, 1016}));
    EXPECT_EQ(ticked(d), (std::vector<int>{1099}));
    EXPECT_EQ(core::state().statusTitle(), "Device Recovery Mode\n");
    EXPECT_FALSE(window->updateButton()->isVisible());
    // A second request while it is open changes nothing.
    EXPECT_EQ(open(), d);
}

TEST_F(RecoveryDialogGuiTest, ClicksFollowTheRulesAndOkProgramsTheModel) {
    ui_qt::RecoveryDialog* d = open();
    d->control(1016)->click();
    d->control(1005)->click();
    EXPECT_EQ(ticked(d), (std::vector<int>{1005, 1099}));
    d->control(1005)->click();  // unticked: the choice stays
    EXPECT_EQ(ticked(d), (std::vector<int>{1099}));
    d->control(1060)->click();
    d->control(1060)->click();  // unticking Japanese ticks English
    EXPECT_EQ(ticked(d), (std::vector<int>{1099}));
    d->control(1099)->click();  // English stays ticked
    EXPECT_EQ(ticked(d), (std::vector<int>{1099}));
    d->control(1060)->click();

    d->control(core::kRecoveryOk)->click();
    EXPECT_EQ(programmed, (std::vector<std::pair<int, int>>{{5, 60}}));
    EXPECT_FALSE(window->recoveryDialog());
    EXPECT_FALSE(core::state().recoveryDialogOpen);
    EXPECT_TRUE(core::state().updateInProgress);
    EXPECT_TRUE(window->progressBar()->isVisible());
    // Deleted once its handler had returned.
    QPointer<ui_qt::RecoveryDialog> gone(d);
    EXPECT_TRUE(waitFor([&] { return gone.isNull(); }));
}

TEST_F(RecoveryDialogGuiTest, OkWithoutModelStaysCancelAndEscapeClose) {
    ui_qt::RecoveryDialog* d = open();
    d->control(core::kRecoveryOk)->click();
    EXPECT_EQ(window->recoveryDialog(), d);
    EXPECT_TRUE(programmed.empty());
    d->control(core::kRecoveryCancel)->click();
    EXPECT_FALSE(window->recoveryDialog());

    d = open();
    ASSERT_TRUE(d);
    QTest::keyClick(d, Qt::Key_Escape);
    EXPECT_FALSE(window->recoveryDialog());

    d = open();
    d->close();  // the close box
    EXPECT_FALSE(window->recoveryDialog());
    EXPECT_TRUE(logged("RecoveryModeDialog WM_CLOSE \n"));
    EXPECT_TRUE(programmed.empty());
}

TEST_F(RecoveryDialogGuiTest, FocusOnTheMainWindowBringsTheDialogBack) {
    ui_qt::RecoveryDialog* d = open();
    ASSERT_TRUE(waitFor([&] { return QApplication::activeWindow() == d; }));
    // The main window gets the focus: the dialog comes back in front.
    int activations = 0;
    QObject scope;  // the connection ends with the test
    QObject::connect(qApp, &QApplication::focusWindowChanged, &scope, [&](QWindow* w) {
        if (w == window->windowHandle()) ++activations;
    });
    window->activateWindow();
    EXPECT_TRUE(waitFor([&] { return activations > 0 && QApplication::activeWindow() == d; }));

    // Without the dialog the main window keeps the focus.
    window->sendMessage(core::WindowMessage::CloseRecoveryModeDlg);
    window->activateWindow();
    EXPECT_TRUE(QTest::qWaitForWindowActive(window.get()));
    QTest::qWait(20);
    EXPECT_EQ(QApplication::activeWindow(), window.get());
}

}  // namespace
