#include <gtest/gtest.h>

#include <map>

#include "WindowTestSupport.h"
#include "core/WindowProcedure.h"

namespace {

using core::Control;
using core::WindowMessage;

// Automatic check boxes: a click toggles the box before the command.
class Boxes : public core::RecoveryDialogControls {
  public:
    bool isChecked(int id) const override {
        auto it = on.find(id);
        return it != on.end() && it->second;
    }
    void setChecked(int id, bool checked) override { on[id] = checked; }
    std::vector<int> ticked() const {
        std::vector<int> ids;
        for (auto [id, checked] : on) {
            if (checked) ids.push_back(id);
        }
        return ids;
    }
    std::map<int, bool> on;
};

class RecoveryDialogTest : public testing_support::CoreTest {
  protected:
    void SetUp() override {
        CoreTest::SetUp();
        dialog.onInit();
    }
    void click(int id) {
        boxes.setChecked(id, !boxes.isChecked(id));
        dialog.onCommand(id);
    }
    void press(int id) { dialog.onCommand(id); }

    testing_support::ScriptedWindow window;
    Boxes boxes;
    core::RecoveryDialogProcedure dialog{window, boxes};
};

TEST_F(RecoveryDialogTest, InitialisationTicksEnglishAndHidesTheControls) {
    EXPECT_EQ(boxes.ticked(), (std::vector<int>{1099}));
    EXPECT_TRUE(core::state().recoveryDialogOpen);
    EXPECT_FALSE(window.isVisible(Control::UpdateButton));
    EXPECT_FALSE(window.isVisible(Control::ProgressBar));
    EXPECT_TRUE(window.wasSet(Control::UpdateButton));
    EXPECT_TRUE(logged("RecoveryModeDialog WM_INITDIALOG\n"));
}

TEST_F(RecoveryDialogTest, ModelBoxesBehaveAsOneGroup) {
    click(1016);
    click(1005);
    EXPECT_EQ(boxes.ticked(), (std::vector<int>{1005, 1099}));
    EXPECT_EQ(core::state().recoveryDeviceType, 5);
    EXPECT_TRUE(logged("RecoveryModeDialog [1005][0]-[5] checked\n"));
    EXPECT_EQ(core::state().statusTitle(), "Device Recovery Mode\n");
    EXPECT_EQ(core::state().statusDetail(), " ");

    // Unticking leaves no model ticked but keeps the choice.
    click(1005);
    EXPECT_EQ(boxes.ticked(), (std::vector<int>{1099}));
    EXPECT_EQ(core::state().recoveryDeviceType, 5);
    EXPECT_TRUE(logged("RecoveryModeDialog [1005][0] unchecked\n"));

    press(core::kRecoveryOk);
    EXPECT_EQ(window.messages, (std::vector<WindowMessage>{WindowMessage::CloseRecoveryModeDlg,
                                                           WindowMessage::StartRecoveryFlash}));
    EXPECT_EQ(core::state().recoveryVariant, -99);
    EXPECT_TRUE(window.isVisible(Control::ProgressBar));
    EXPECT_FALSE(window.isVisible(Control::UpdateButton));
}

TEST_F(RecoveryDialogTest, LanguageBoxesKeepOneTicked) {
    click(core::kRecoveryJapanese);
    EXPECT_EQ(boxes.ticked(), (std::vector<int>{1060}));
    EXPECT_EQ(core::state().recoveryVariant, 60);
    click(core::kRecoveryJapanese);  // unticking Japanese ticks English
    EXPECT_EQ(boxes.ticked(), (std::vector<int>{1099}));
    EXPECT_EQ(core::state().recoveryVariant, -99);
    click(core::kRecoveryEnglish);  // unticking English keeps it ticked
    EXPECT_EQ(boxes.ticked(), (std::vector<int>{1099}));
    EXPECT_EQ(core::state().recoveryVariant, -99);
    // English ticked by a click stores 99, yet OK passes -99.
    click(core::kRecoveryJapanese);
    click(core::kRecoveryEnglish);
    EXPECT_EQ(core::state().recoveryVariant, 99);
    click(1013);
    press(core::kRecoveryOk);
    EXPECT_EQ(core::state().recoveryVariant, -99);
}

TEST_F(RecoveryDialogTest, JapaneseChoiceReachesOk) {
    click(1011);
    click(core::kRecoveryJapanese);
    press(core::kRecoveryOk);
    EXPECT_EQ(core::state().recoveryVariant, 60);
    EXPECT_EQ(core::state().recoveryDeviceType, 11);
    EXPECT_EQ(window.messages.size(), 2u);
}

TEST_F(RecoveryDialogTest, OkWithoutAModelDoesNothing) {
    press(core::kRecoveryOk);
    EXPECT_TRUE(window.messages.empty());
    core::state().recoveryDeviceType = 3;  // not a model this updater writes
    press(core::kRecoveryOk);
    EXPECT_TRUE(window.messages.empty());
}

TEST_F(RecoveryDialogTest, OnlyClicksAreActedOn) {
    boxes.setChecked(1007, true);
    dialog.onCommand(1007, 1);
    EXPECT_EQ(core::state().recoveryDeviceType, -99);
    EXPECT_EQ(core::state().statusTitle(), "Device Recovery Mode\n");
}

TEST_F(RecoveryDialogTest, CancelAndCloseBoxCloseTheDialog) {
    press(core::kRecoveryCancel);
    dialog.onClose();
    EXPECT_EQ(window.messages, (std::vector<WindowMessage>{WindowMessage::CloseRecoveryModeDlg,
                                                           WindowMessage::CloseRecoveryModeDlg}));
    EXPECT_TRUE(logged("RecoveryModeDialog WM_CLOSE \n"));
}

TEST(RecoveryDialogLayout, ControlsInTheDialogsOrder) {
    std::vector<int> ids;
    for (const core::DialogControl& c : core::kRecoveryDialogControls) ids.push_back(c.id);
    EXPECT_EQ(ids, (std::vector<int>{1, 2, 0, 1005, 1006, 1007, 1008, 1009, 1010, 1004, 1011, 1012,
                                     1060, 1099, 1013, 1014, 1015, 1016}));
    EXPECT_STREQ(core::kRecoveryDialogControls[2].text,
                 "Recovery Mode Carefully Choose Your Device");
    EXPECT_STREQ(core::kRecoveryDialogControls[17].text, "Gen5 Heron Lite");
}

}  // namespace
