#include "MessageBoxes.h"

#include <QFile>
#include <QMessageBox>
#include <QPushButton>
#include <memory>

namespace ui_qt {

QIcon programIcon() {
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64, 128, 256}) {
        const QString path = QStringLiteral(":/art/icon-%1.png").arg(size);
        if (QFile::exists(path)) icon.addFile(path, QSize(size, size));
    }
    return icon;
}

QString displayText(const std::string& text) {
    QString s = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    s.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    s.replace(QLatin1String("\n\r"), QLatin1String("\n"));
    s.remove(QLatin1Char('\r'));
    return s;
}

QString windowCaption(const std::string& caption) {
    return caption.empty() ? QString() : displayText(caption);
}

bool hasCjk(const QString& text) {
    for (QChar c : text) {
        const char16_t u = c.unicode();
        // CJK punctuation, kana, ideographs, full-width forms.
        if ((u >= 0x3000 && u <= 0x9FFF) || (u >= 0xF900 && u <= 0xFAFF) ||
            (u >= 0xFF00 && u <= 0xFFEF)) {
            return true;
        }
    }
    return false;
}

QFont fontFor(const QString& text, const QFont& base) {
    if (!hasCjk(text)) return base;
    QFont font = base;
    // Japanese glyph shapes, not the Chinese ones a fallback might pick.
    font.setFamilies(
        {QStringLiteral("Noto Sans CJK JP"), QStringLiteral("Noto Sans JP"), base.family()});
    return font;
}

namespace {

// Lines with a tab as rows of a two-column table, so that the columns line
// up whatever the font; other lines as they are.
QString tabbedTextAsTable(const QString& text) {
    auto cell = [](const QString& s) {
        QString html = s.toHtmlEscaped();
        // Leading spaces indent, as in the text.
        int lead = 0;
        while (lead < html.size() && html[lead] == QLatin1Char(' ')) ++lead;
        return QStringLiteral("&nbsp;").repeated(lead) + html.mid(lead);
    };
    QString html = QStringLiteral("<table cellspacing=\"0\" cellpadding=\"0\">");
    for (const QString& line : text.split(QLatin1Char('\n'))) {
        const qsizetype tab = line.indexOf(QLatin1Char('\t'));
        if (tab < 0) {
            html += QStringLiteral("<tr><td colspan=\"2\">%1&nbsp;</td></tr>").arg(cell(line));
        } else {
            html += QStringLiteral("<tr><td>%1</td><td style=\"padding-left:16px\">%2</td></tr>")
                        .arg(cell(line.left(tab)), cell(line.mid(tab + 1)));
        }
    }
    return html + QStringLiteral("</table>");
}

}  // namespace

QMessageBox* makeMessageBox(const std::string& text, const std::string& caption,
                            core::BoxButtons buttons, core::BoxIcon icon) {
    auto* box = new QMessageBox();
    const QString body = displayText(text);
    // The exact text, whatever form it is shown in.
    box->setProperty(kBoxTextProperty, body);
    if (body.contains(QLatin1Char('\t'))) {
        box->setTextFormat(Qt::RichText);
        box->setText(tabbedTextAsTable(body));
    } else {
        box->setTextFormat(Qt::PlainText);
        box->setText(body);
    }
    box->setWindowTitle(windowCaption(caption));
    box->setFont(fontFor(body + displayText(caption), box->font()));
    switch (icon) {
        case core::BoxIcon::None:
            box->setIcon(QMessageBox::NoIcon);
            break;
        case core::BoxIcon::Question:
            box->setIcon(QMessageBox::Question);
            break;
        case core::BoxIcon::Warning:
            box->setIcon(QMessageBox::Warning);
            break;
    }
    switch (buttons) {
        case core::BoxButtons::Ok:
            box->setStandardButtons(QMessageBox::Ok);
            box->setDefaultButton(QMessageBox::Ok);
            box->setEscapeButton(QMessageBox::Ok);
            break;
        case core::BoxButtons::OkCancel:
            box->setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
            box->setDefaultButton(QMessageBox::Ok);
            box->setEscapeButton(QMessageBox::Cancel);
            break;
        case core::BoxButtons::YesNo:
            box->setStandardButtons(QMessageBox::Yes | QMessageBox::No);
            box->setDefaultButton(QMessageBox::Yes);
            box->setEscapeButton(QMessageBox::No);
            break;
    }
    return box;
}

core::BoxAnswer runMessageBox(const std::string& text, const std::string& caption,
                              core::BoxButtons buttons, core::BoxIcon icon) {
    std::unique_ptr<QMessageBox> box(makeMessageBox(text, caption, buttons, icon));
    box->exec();
    QAbstractButton* clicked = box->clickedButton();
    switch (clicked ? box->standardButton(clicked) : QMessageBox::NoButton) {
        case QMessageBox::Ok:
            return core::BoxAnswer::Ok;
        case QMessageBox::Cancel:
            return core::BoxAnswer::Cancel;
        case QMessageBox::Yes:
            return core::BoxAnswer::Yes;
        case QMessageBox::No:
            return core::BoxAnswer::No;
        default:
            return core::unansweredBox(buttons);
    }
}

}  // namespace ui_qt
