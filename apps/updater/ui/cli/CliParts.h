// What the terminal front end's files share: how texts are put on a terminal,
// and the recovery dialog's check boxes.
#pragma once

#include <cctype>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "CliWindow.h"
#include "core/WindowProcedure.h"
#include "platform/DebugOutput.h"

namespace ui_cli {

// Line ends as a terminal wants them.
inline std::string terminalText(const std::string& text) {
    return platform::plainLineEnds(text);
}

inline std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream stream(terminalText(text));
    std::string line;
    while (std::getline(stream, line)) lines.push_back(line);
    while (!lines.empty() && lines.back().find_first_not_of(' ') == std::string::npos) {
        lines.pop_back();
    }
    return lines;
}

inline bool blank(const std::string& text) {
    return text.find_first_not_of(" \r\n\t") == std::string::npos;
}

inline std::string lowered(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    s.erase(0, s.find_first_not_of(" \t"));
    s.erase(s.find_last_not_of(" \t") + 1);
    return s;
}

// The recovery dialog's check boxes.
class CliWindow::Dialog : public core::RecoveryDialogControls {
  public:
    Dialog(core::Window& window) : procedure(window, *this) {}
    bool isChecked(int id) const override {
        auto it = checked.find(id);
        return it != checked.end() && it->second;
    }
    void setChecked(int id, bool on) override { checked[id] = on; }

    std::map<int, bool> checked;
    core::RecoveryDialogProcedure procedure;
};

}  // namespace ui_cli
