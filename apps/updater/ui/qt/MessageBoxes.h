// The updater's message boxes in Qt: no owner window, the exact text and
// caption, the buttons and icon asked for, and Japanese text in a Japanese
// font.
#pragma once

#include <QFont>
#include <QIcon>
#include <QString>
#include <string>

#include "core/Window.h"

class QMessageBox;

namespace ui_qt {

// The program's icon in every size the build carries.
QIcon programIcon();

// UTF-8 text of the updater as shown by Qt: line ends without '\r'.
QString displayText(const std::string& text);

// A window caption: the text as shown, and an empty caption as a null
// string, the one form Qt leaves empty on the desktop (setUpApplication).
QString windowCaption(const std::string& caption);

// True when the text holds Japanese (or other CJK) characters.
bool hasCjk(const QString& text);
// The given font, with a Japanese face first when the text needs one.
QFont fontFor(const QString& text, const QFont& base);

// The box's text exactly as given (a dynamic property of the box).
inline constexpr const char* kBoxTextProperty = "quortaText";

// Builds the box (not shown); the caller owns it.
QMessageBox* makeMessageBox(const std::string& text, const std::string& caption,
                            core::BoxButtons buttons, core::BoxIcon icon);

// Shows the box modally and returns the answer. A box closed without a
// button answers No, Cancel or OK (the one that changes nothing).
core::BoxAnswer runMessageBox(const std::string& text, const std::string& caption,
                              core::BoxButtons buttons, core::BoxIcon icon);

}  // namespace ui_qt
