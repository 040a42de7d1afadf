// How the window tells the operator something: a message box by default;
// tests put a recorder in its place.
#pragma once

#include <QMessageBox>
#include <QString>
#include <QWidget>
#include <functional>

namespace kestrova {

using Prompter = std::function<void(QWidget* parent, const QString& text)>;

inline void ShowPrompt(QWidget* parent, const QString& text) {
  QMessageBox::warning(parent, "Kestrova", text);
}

}  // namespace kestrova
