// Shared pieces of the core and simulated-GPS suites: a recording window, a
// log capture, and a fixture that gives every test a fresh process state.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "core/Context.h"
#include "core/DeviceRecord.h"
#include "core/ReportCallbacks.h"
#include "core/Services.h"
#include "core/StatusReporting.h"
#include "core/UpdaterState.h"
#include "core/Window.h"
#include "hidport/hidport.h"
#include "platform/Clock.h"
#include "platform/DebugOutput.h"

namespace testing_support {

// Records every call; answers message boxes from a script.
class RecordingWindow : public core::Window {
  public:
    void showControl(core::Control control, bool show) override {
        visible[control] = show;
        note(std::string("show ") + controlName(control) + (show ? " 1" : " 0"));
    }
    void setButtonText(const std::string& text) override {
        buttonText = text;
        note("text " + text);
    }
    void enableMenuItem(int id, bool enable) override {
        menuEnabled[id] = enable;
        note("menu " + std::to_string(id) + (enable ? " 1" : " 0"));
    }
    void invalidate(bool erase) override { note(erase ? "invalidate erase" : "invalidate"); }
    void update() override { note("update"); }
    void repaintNow() override { note("repaint"); }
    core::BoxAnswer messageBox(const std::string& text, const std::string& caption,
                               core::BoxButtons, core::BoxIcon) override {
        note("box " + caption + ": " + text);
        if (answers.empty()) return core::BoxAnswer::Ok;
        const core::BoxAnswer answer = answers.front();
        answers.erase(answers.begin());
        return answer;
    }
    void openUrl(const std::string& url) override { note("url " + url); }
    void sendMessage(core::WindowMessage message, int) override {
        messages.push_back(message);
        note("message " + std::to_string(static_cast<int>(message)));
        if (onMessage) onMessage(message);
    }
    void callOnWindowThread(const std::function<void()>& fn) override { fn(); }
    void destroy() override { note("destroy"); }
    void quit(int code) override { note("quit " + std::to_string(code)); }
    void appendLog(const std::string& text) override { logView += text; }
    void startMarquee() override { note("marquee"); }
    // Every value the bar was given; not among the calls, which the bar's
    // many steps would drown.
    void setProgress(int percent) override { progress.push_back(percent); }

    bool isVisible(core::Control c) const {
        auto it = visible.find(c);
        return it != visible.end() && it->second;
    }
    bool wasSet(core::Control c) const { return visible.count(c) != 0; }

    std::vector<std::string> calls;
    std::vector<int> progress;
    std::vector<core::WindowMessage> messages;
    std::map<core::Control, bool> visible;
    std::map<int, bool> menuEnabled;
    std::string buttonText;
    std::string logView;
    std::function<void(core::WindowMessage)> onMessage;
    std::vector<core::BoxAnswer> answers;  // the next boxes' answers; then OK

  private:
    static const char* controlName(core::Control c) {
        switch (c) {
            case core::Control::UpdateButton:
                return "button";
            case core::Control::ProgressBar:
                return "progress";
            case core::Control::LogView:
                return "log";
        }
        return "?";
    }
    void note(std::string call) { calls.push_back(std::move(call)); }
};

class CapturingDebugOutput : public platform::DebugOutput {
  public:
    void write(std::string_view text) override {
        std::lock_guard lock(mutex);
        lines.emplace_back(text);
    }
    std::vector<std::string> snapshot() {
        std::lock_guard lock(mutex);
        return lines;
    }
    std::mutex mutex;
    std::vector<std::string> lines;
};

// A fresh context for every test, the simulated HID backend with no device,
// a fast clock, and every log line captured.
class CoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        services.clock = &clock;
        services.debugOutput = &debug;
        wireCore();
    }

    // Gives the current context the collaborators and the log capture.
    void wireCore() {
        core::setServices(services);
        core::reportCallbacks().logLine = [this](const std::string& line) {
            std::lock_guard lock(logMutex);
            log.push_back(line);
        };
    }

    // Re-applies `services` after a test changed it.
    void applyServices() { core::setServices(services); }

    // The run's texts go to `window` as the program shows them.
    void showStatusOn(core::Window& window) {
        services.window = &window;
        applyServices();
        core::reportCallbacks().reportStatus = core::reportStatus;
    }

    std::vector<std::string> logLines() {
        std::lock_guard lock(logMutex);
        return log;
    }
    std::string logText() {
        std::string all;
        for (const std::string& l : logLines()) all += l;
        return all;
    }
    int countLog(const std::string& line) {
        auto lines = logLines();
        return static_cast<int>(std::count(lines.begin(), lines.end(), line));
    }
    bool logged(const std::string& line) { return countLog(line) > 0; }

    // Every wait runs a thousand times faster; totalSleptMs() still counts
    // the clock's own milliseconds.
    platform::ScaledClock clock{0.001};
    // Before the threads and collaborators of the test, after the clock its
    // simulated devices use.
    core::ScopedContext context{hidport::Backend::Simulated};
    CapturingDebugOutput debug;
    core::Services services;
    std::mutex logMutex;
    std::vector<std::string> log;
};

}  // namespace testing_support
