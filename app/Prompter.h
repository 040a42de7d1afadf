// How the window tells the operator something: a message box by default;
// tests put a recorder in its place.
#pragma once

#include <QString>
#include <QWidget>
#include <functional>

namespace kestrova {

using Prompter = std::function<void(QWidget* parent, const QString& text)>;

// Shows `text` in a message box; Ctrl+C there copies it. A path in it stays
// on one line where it fits: the box may wrap the text between words, not
// after a slash.
void ShowPrompt(QWidget* parent, const QString& text);

}  // namespace kestrova
