// "Emergency Recovery Mode": the user picks the model (and the language) of
// a GPS that only starts in its ROM bootloader. Modeless, in front of the
// main window; its rules are core::RecoveryDialogProcedure's.
#pragma once

#include <QDialog>
#include <map>

#include "core/WindowProcedure.h"

class QAbstractButton;
class QCheckBox;
class QPushButton;

namespace ui_qt {

class RecoveryDialog : public QDialog, public core::RecoveryDialogControls {
    Q_OBJECT
  public:
    // Builds the controls and runs the dialog's initialisation.
    RecoveryDialog(QWidget* owner, core::Window& mainWindow);

    bool isChecked(int id) const override;
    void setChecked(int id, bool checked) override;

    // The control with this id (1 OK, 2 Cancel, 1004..1016, 1060, 1099).
    QAbstractButton* control(int id) const;

  protected:
    void closeEvent(QCloseEvent* event) override;
    void reject() override;  // Escape: the Cancel command

  private:
    core::RecoveryDialogProcedure procedure_;
    std::map<int, QAbstractButton*> controls_;
};

}  // namespace ui_qt
