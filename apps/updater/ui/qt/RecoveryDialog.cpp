#include "RecoveryDialog.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>
#include <vector>

#include "MessageBoxes.h"

namespace ui_qt {

namespace {

// Where each control sits: the model boxes in two columns as the dialog has
// them, the language boxes in a row, the buttons at the bottom. The tab
// order stays the dialog's own.
struct Placement {
    int column;
    int row;
};

Placement placementOf(const core::DialogControl& c) {
    // The dialog's left column starts at 7 dialog units, its right one
    // beyond 75; rows are about 15 units apart from 25 on.
    const int column = c.left < 75 ? 0 : 1;
    const int row = (c.top - 25 + 7) / 15;
    return {column, row};
}

}  // namespace

RecoveryDialog::RecoveryDialog(QWidget* owner, core::Window& mainWindow)
    : QDialog(owner, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                         Qt::WindowCloseButtonHint),
      procedure_(mainWindow, *this) {
    setWindowTitle(windowCaption(core::kRecoveryDialogTitle));
    setModal(false);
    setAttribute(Qt::WA_DeleteOnClose, false);

    auto* layout = new QVBoxLayout(this);
    auto* models = new QGridLayout();
    auto* languages = new QHBoxLayout();
    auto* buttons = new QHBoxLayout();
    QLabel* heading = nullptr;
    std::vector<QWidget*> tabOrder;

    for (const core::DialogControl& c : core::kRecoveryDialogControls) {
        const QString text = QString::fromUtf8(c.text);
        switch (c.kind) {
            case core::DialogControlKind::Label:
                heading = new QLabel(text, this);
                heading->setAlignment(Qt::AlignHCenter);
                heading->setWordWrap(true);
                break;
            case core::DialogControlKind::DefaultButton:
            case core::DialogControlKind::Button: {
                auto* button = new QPushButton(text, this);
                const bool isDefault = c.kind == core::DialogControlKind::DefaultButton;
                button->setDefault(isDefault);
                button->setAutoDefault(isDefault);
                controls_[c.id] = button;
                tabOrder.push_back(button);
                const int id = c.id;
                connect(button, &QPushButton::clicked, this,
                        [this, id] { procedure_.onCommand(id); });
                break;
            }
            case core::DialogControlKind::CheckBox: {
                auto* box = new QCheckBox(text, this);
                controls_[c.id] = box;
                tabOrder.push_back(box);
                const int id = c.id;
                // An automatic check box: its state has changed by the time
                // the command arrives.
                connect(box, &QCheckBox::clicked, this, [this, id] { procedure_.onCommand(id); });
                if (c.id == core::kRecoveryJapanese || c.id == core::kRecoveryEnglish) {
                    continue;
                }
                const Placement p = placementOf(c);
                models->addWidget(box, p.row, p.column);
                break;
            }
        }
    }
    languages->addStretch();
    languages->addWidget(controls_[core::kRecoveryJapanese]);
    languages->addSpacing(24);
    languages->addWidget(controls_[core::kRecoveryEnglish]);
    languages->addStretch();
    buttons->addStretch();
    buttons->addWidget(controls_[core::kRecoveryOk]);
    buttons->addSpacing(24);
    buttons->addWidget(controls_[core::kRecoveryCancel]);
    buttons->addStretch();

    layout->addWidget(heading);
    layout->addSpacing(4);
    layout->addLayout(models);
    layout->addSpacing(12);
    layout->addLayout(languages);
    layout->addSpacing(12);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    for (size_t i = 1; i < tabOrder.size(); ++i) setTabOrder(tabOrder[i - 1], tabOrder[i]);

    procedure_.onInit();
}

bool RecoveryDialog::isChecked(int id) const {
    QAbstractButton* c = control(id);
    return c && c->isCheckable() && c->isChecked();
}

void RecoveryDialog::setChecked(int id, bool checked) {
    if (QAbstractButton* c = control(id); c && c->isCheckable()) c->setChecked(checked);
}

QAbstractButton* RecoveryDialog::control(int id) const {
    auto it = controls_.find(id);
    return it == controls_.end() ? nullptr : it->second;
}

void RecoveryDialog::closeEvent(QCloseEvent* event) {
    // The main window destroys the dialog when it handles the message.
    event->ignore();
    procedure_.onClose();
}

void RecoveryDialog::reject() {
    procedure_.onCommand(core::kRecoveryCancel);
}

}  // namespace ui_qt
