#include "core/UpdateEndNotice.h"

#include "core/Context.h"
#include "core/ReportCallbacks.h"
#include "core/Services.h"
#include "core/UpdaterState.h"
#include "core/Window.h"
#include "platform/DesktopNotifier.h"

namespace core {

namespace {

// The lines of `text` that are not blank, joined by "\n".
void appendLines(std::string& out, const std::string& text) {
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
        if (line.find_first_not_of(' ') != std::string::npos) {
            if (!out.empty()) out += '\n';
            out += line;
        }
        start = end + 1;
    }
}

}  // namespace

void updateBegun() {
    state().updateEndUntold = true;
}

std::string finalStatusText() {
    std::string text;
    appendLines(text, state().statusTitle());
    appendLines(text, state().statusDetail());
    return text;
}

void updateEnded(const std::string& text) {
    if (!state().updateEndUntold.exchange(false)) return;
    if (updatePhases().current() != UpdatePhase::Done) setUpdatePhase(UpdatePhase::Failed);
    Window* window = services().window;
    platform::DesktopNotifier* notifier = services().notifier;
    if (!window || !notifier || window->isActive()) return;
    if (!notifier->notify(kUpdateEndedSummary, text.empty() ? finalStatusText() : text)) {
        logLinef("No desktop notification of the update's end: %s\r\n",
                 notifier->lastError().c_str());
    }
}

}  // namespace core
