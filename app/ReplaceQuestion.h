// The question the window asks before a new take replaces the take in its
// output directory: Yes and No, with No the default, so Enter or Escape
// keeps the take. Tests put an answer of their own in its place.
#pragma once

#include <QMessageBox>
#include <QString>
#include <QWidget>
#include <functional>

namespace kestrova {

using ReplaceQuestion = std::function<bool(QWidget* parent, const QString& text)>;

inline bool AskToReplace(QWidget* parent, const QString& text) {
  QMessageBox box(QMessageBox::Question, "Kestrova", text, QMessageBox::Yes | QMessageBox::No, parent);
  box.setDefaultButton(QMessageBox::No);
  box.setEscapeButton(QMessageBox::No);
  return box.exec() == QMessageBox::Yes;
}

}  // namespace kestrova
