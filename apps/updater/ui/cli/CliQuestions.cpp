// The terminal front end's questions: message boxes asked on standard input
// (or answered by --yes), and the recovery dialog's model and language.
#include <iostream>

#include "CliParts.h"
#include "CliWindow.h"

namespace ui_cli {

namespace {

// Questions whose Yes does nothing but open a web page.
bool onlyOpensWebPage(const std::string& text) {
    return text == core::kBackupReminderText || text == core::kEraseKeysInstructionsQuestion;
}

const char* answerName(core::BoxAnswer answer) {
    switch (answer) {
        case core::BoxAnswer::Ok:
            return "OK";
        case core::BoxAnswer::Cancel:
            return "Cancel";
        case core::BoxAnswer::Yes:
            return "Yes";
        case core::BoxAnswer::No:
            return "No";
    }
    return "?";
}

}  // namespace

std::string CliWindow::readLine(bool* ok) {
    std::string line;
    out_.flush();
    *ok = static_cast<bool>(std::getline(in_, line));
    if (interrupted_ && interrupted_->load()) *ok = false;
    if (!*ok) {
        in_.clear(std::ios::eofbit);  // stays at its end
        return {};
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    // Answers from a file or a pipe are not echoed by a terminal.
    if (echoInput_) freshLine(out_) << line << "\n";
    return line;
}

// --- Message boxes -------------------------------------------------------------

core::BoxAnswer CliWindow::messageBox(const std::string& text, const std::string& caption,
                                      core::BoxButtons buttons, core::BoxIcon) {
    core::BoxAnswer answer = core::unansweredBox(buttons);
    const bool asked = onLoop([&] {
        render();
        freshLine(out_) << "\n";
        if (!caption.empty()) freshLine(out_) << "[" << terminalText(caption) << "]\n";
        for (const std::string& line : linesOf(text)) freshLine(out_) << line << "\n";
        const char* prompt = buttons == core::BoxButtons::Ok         ? "[OK] "
                             : buttons == core::BoxButtons::OkCancel ? "OK/Cancel? "
                                                                     : "Yes/No? ";
        freshLine(out_) << prompt;
        if (buttons == core::BoxButtons::Ok) {
            answer = core::BoxAnswer::Ok;
            bool ok = false;
            if (!context_.options.yes) readLine(&ok);
            if (!ok) freshLine(out_) << "OK\n";
            out_.flush();
            return;
        }
        if (context_.options.yes) {
            if (onlyOpensWebPage(text)) {
                answer = core::BoxAnswer::No;
            } else {
                answer = buttons == core::BoxButtons::OkCancel ? core::BoxAnswer::Ok
                                                               : core::BoxAnswer::Yes;
            }
            freshLine(out_) << answerName(answer) << " (--yes)\n";
            out_.flush();
            return;
        }
        for (;;) {
            out_.flush();
            bool ok = false;
            const std::string reply = lowered(readLine(&ok));
            if (!ok) {
                freshLine(out_) << "(no answer) " << answerName(answer) << "\n";
                break;
            }
            if (buttons == core::BoxButtons::YesNo && (reply == "y" || reply == "yes")) {
                answer = core::BoxAnswer::Yes;
                break;
            }
            if (buttons == core::BoxButtons::YesNo && (reply == "n" || reply == "no")) {
                answer = core::BoxAnswer::No;
                break;
            }
            if (buttons == core::BoxButtons::OkCancel && (reply == "o" || reply == "ok")) {
                answer = core::BoxAnswer::Ok;
                break;
            }
            if (buttons == core::BoxButtons::OkCancel && (reply == "c" || reply == "cancel")) {
                answer = core::BoxAnswer::Cancel;
                break;
            }
            freshLine(out_) << prompt;
        }
        out_.flush();
    });
    if (!asked) {
        std::cerr << "quorta-updater: " << caption << ": " << terminalText(text) << "\n";
    }
    return answer;
}

// --- The recovery dialog -------------------------------------------------------

void CliWindow::createRecoveryDialog() {
    if (dialog_) return;
    dialog_ = std::make_unique<Dialog>(*this);
    dialog_->procedure.onInit();
    render();
    // Asked from the loop, like a modeless dialog waiting for clicks.
    caller_.post([this] { askRecoveryDialog(); });
}

void CliWindow::destroyRecoveryDialog() {
    // Perhaps from inside the dialog's own procedure: freed once it returned.
    if (dialog_) closedDialogs_.push_back(std::move(dialog_));
}

bool CliWindow::recoveryDialogExists() const {
    return dialog_ != nullptr;
}

void CliWindow::raiseRecoveryDialog() {}

void CliWindow::clickDialog(int id, bool toggles) {
    if (!dialog_) return;
    if (toggles) dialog_->setChecked(id, !dialog_->isChecked(id));
    dialog_->procedure.onCommand(id);
}

void CliWindow::askRecoveryDialog() {
    std::vector<const core::DialogControl*> models;
    for (const core::DialogControl& c : core::kRecoveryDialogControls) {
        if (c.id >= core::kRecoveryFirstModel && c.id <= core::kRecoveryLastModel) {
            models.push_back(&c);
        }
    }
    while (dialog_) {
        render();
        freshLine(out_) << "\n[" << core::kRecoveryDialogTitle << "]\n"
                        << core::kRecoveryDialogControls[2].text << "\n";
        for (size_t i = 0; i < models.size(); ++i) {
            freshLine(out_) << "  " << (i + 1 < 10 ? " " : "") << i + 1 << ") " << models[i]->text
                            << "\n";
        }
        freshLine(out_) << "Model number (nothing to cancel)? ";
        bool ok = false;
        std::string reply = context_.options.yes ? std::string() : lowered(readLine(&ok));
        if (context_.options.yes) freshLine(out_) << "(--yes cannot choose a model) ";
        char* end = nullptr;
        const long n = reply.empty() ? 0 : std::strtol(reply.c_str(), &end, 10);
        if (!ok || reply.empty() || *end != '\0' || n < 1 || n > static_cast<long>(models.size())) {
            if (ok && !reply.empty()) {
                freshLine(out_) << "There is no model " << reply << ".\n";
                continue;
            }
            freshLine(out_) << "Cancel\n";
            out_.flush();
            clickDialog(core::kRecoveryCancel, false);
            return;
        }
        const int id = models[static_cast<size_t>(n - 1)]->id;
        if (!dialog_->isChecked(id)) clickDialog(id, true);
        freshLine(out_) << "Japanese or English (j/e)? ";
        const std::string language = lowered(readLine(&ok));
        if (!dialog_) return;
        const bool japanese = ok && (language == "j" || language == "japanese");
        if (!ok) freshLine(out_) << (japanese ? "Japanese\n" : "English\n");
        if (japanese != dialog_->isChecked(core::kRecoveryJapanese)) {
            clickDialog(japanese ? core::kRecoveryJapanese : core::kRecoveryEnglish, true);
        }
        freshLine(out_) << "OK\n";
        out_.flush();
        clickDialog(core::kRecoveryOk, false);
    }
}

}  // namespace ui_cli
