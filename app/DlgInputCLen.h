// The small modal dialog "Length of Calibration (cm)": a line saying what to
// type, one right-aligned edit for the real distance between the two picked
// points, OK and Cancel (in Japanese where the user's language is). OK with
// a text that is not a number above 0 prompts and keeps the dialog open.
#pragma once

#include <QDialog>

#include "app/Prompter.h"

class QLineEdit;

namespace kestrova {

class CDlgInputCLen : public QDialog {
  Q_OBJECT
 public:
  explicit CDlgInputCLen(QWidget* parent = nullptr, Prompter prompt = ShowPrompt);

  float length = 100.0f;  // cm; shown when the dialog opens, read after OK

  int exec() override;
  void accept() override;

 private:
  QLineEdit* edit_;
  Prompter prompt_;
};

}  // namespace kestrova
