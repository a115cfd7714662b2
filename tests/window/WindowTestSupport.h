// A recording window with scripted message-box answers and a recording
// host, for the window procedure's suites.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "CoreTestSupport.h"
#include "core/WindowProcedure.h"

namespace testing_support {

struct Box {
    std::string text;
    std::string caption;
    core::BoxButtons buttons;
    core::BoxIcon icon;
};

class ScriptedWindow : public RecordingWindow {
  public:
    core::BoxAnswer messageBox(const std::string& text, const std::string& caption,
                               core::BoxButtons buttons, core::BoxIcon icon) override {
        boxes.push_back({text, caption, buttons, icon});
        RecordingWindow::messageBox(text, caption, buttons, icon);
        if (answers.empty()) {
            ADD_FAILURE() << "unscripted box: " << caption << ": " << text;
            return core::BoxAnswer::Cancel;
        }
        core::BoxAnswer a = answers.front();
        answers.pop_front();
        return a;
    }
    std::deque<core::BoxAnswer> answers;
    std::vector<Box> boxes;
};

class RecordingHost : public core::WindowHost {
  public:
    void startTimer(int id, int periodMs) override {
        calls.push_back("timer " + std::to_string(id) + " " + std::to_string(periodMs));
    }
    void killTimer(int id) override { calls.push_back("kill " + std::to_string(id)); }
    void createRecoveryDialog() override {
        calls.push_back("create dialog");
        dialog = true;
    }
    void destroyRecoveryDialog() override {
        calls.push_back("destroy dialog");
        dialog = false;
    }
    bool recoveryDialogExists() const override { return dialog; }
    void raiseRecoveryDialog() override { calls.push_back("raise dialog"); }
    void endProcess(int exitCode) override { calls.push_back("end " + std::to_string(exitCode)); }
    bool dialog = false;
    std::vector<std::string> calls;
};

}  // namespace testing_support
