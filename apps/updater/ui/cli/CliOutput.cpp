// The terminal front end's output: the status texts and controls as they
// change, the log view, and the bar drawn in place on a terminal.
#include <algorithm>

#include "CliParts.h"
#include "CliWindow.h"
#include "core/UpdaterState.h"
#include "core/WindowProcedure.h"

namespace ui_cli {

namespace {

// The log kept for a later "Show log".
constexpr size_t kLogHistoryLimit = 4 << 20;

}  // namespace

// --- Output -------------------------------------------------------------------

void CliWindow::printBlock(const char* label, const std::string& text) {
    const std::vector<std::string> lines = linesOf(text);
    const std::string indent(std::string(label).size(), ' ');
    for (size_t i = 0; i < lines.size(); ++i) {
        freshLine(out_) << (i == 0 ? label : indent.c_str()) << lines[i] << "\n";
    }
    if (lines.empty()) freshLine(out_) << label << "\n";
}

void CliWindow::render(bool textsOnly) {
    if (destroyed_) return;
    const core::UpdaterState& st = core::state();
    const std::string title = st.statusTitle();
    const std::string detail = st.statusDetail();
    const bool warning = core::unplugWarningShown();
    const bool busy = visible_[core::Control::ProgressBar];
    const std::string button = visible_[core::Control::UpdateButton] ? buttonText_ : "";

    if (title != shownTitle_) {
        shownTitle_ = title;
        if (!blank(title)) printBlock("Title:  ", title);
    }
    if (detail != shownDetail_) {
        shownDetail_ = detail;
        if (!blank(detail)) printBlock("Detail: ", detail);
    }
    // Controls flip back and forth inside one handler; they are shown as
    // they stand once the window thread is idle.
    if (textsOnly) {
        if (!barOnLine_) drawBar();
        out_.flush();
        return;
    }
    if (warning != shownWarning_) {
        shownWarning_ = warning;
        if (warning) freshLine(out_) << "Warning: " << core::kUnplugWarningText << "\n";
    }
    if (busy != shownBusy_) {
        shownBusy_ = busy;
        freshLine(out_) << "Busy:   " << (busy ? "yes" : "no") << "\n";
    }
    if (button != shownButton_) {
        shownButton_ = button;
        if (!button.empty()) freshLine(out_) << "Button: [" << button << "]\n";
    }
    if (!barOnLine_) drawBar();
    out_.flush();
}

void CliWindow::appendLog(const std::string& text) {
    onLoop([&] {
        const std::string lines = terminalText(text);
        if (logShown_) {
            freshLine(err_) << lines;
            err_.flush();
        }
        logHistory_ += lines;
        if (logHistory_.size() > kLogHistoryLimit) {
            logHistory_.erase(0, logHistory_.size() - kLogHistoryLimit / 2);
        }
    });
}

void CliWindow::startMarquee() {
    onLoop([&] {
        barPercent_ = -1;
        clearBar();
        out_.flush();
    });
}

void CliWindow::setProgress(int percent) {
    onLoop([&] {
        if (!drawsBar_) return;
        barPercent_ = std::clamp(percent, 0, 100);
        drawBar();
    });
}

// --- The bar on a terminal ------------------------------------------------------------

std::ostream& CliWindow::freshLine(std::ostream& stream) {
    clearBar();
    return stream;
}

void CliWindow::clearBar() {
    if (!barOnLine_) return;
    out_ << "\r\033[K";
    out_.flush();
    barOnLine_ = false;
}

void CliWindow::drawBar() {
    if (!drawsBar_ || barPercent_ < 0 || destroyed_) return;
    constexpr int kWidth = 40;
    const int filled = barPercent_ * kWidth / 100;
    char percent[16];
    std::snprintf(percent, sizeof percent, "%3d%%", barPercent_);
    out_ << "\r[" << std::string(static_cast<size_t>(filled), '#')
         << std::string(static_cast<size_t>(kWidth - filled), '-') << "] " << percent;
    out_.flush();
    barOnLine_ = true;
}

}  // namespace ui_cli
