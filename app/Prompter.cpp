#include "app/Prompter.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMessageBox>
#include <QShortcut>

namespace kestrova {

void ShowPrompt(QWidget* parent, const QString& text) {
  // A word joiner after each slash keeps the line breaker out of paths.
  QString shown = text;
  shown.replace('/', QString("/") + QChar(0x2060));
  QMessageBox box(QMessageBox::Warning, "Kestrova", shown, QMessageBox::Ok, parent);
  // Ctrl+C copies the message, as message boxes do on Windows: an operator
  // can paste what the program said into a report.
  QShortcut copy(QKeySequence::Copy, &box);
  QObject::connect(&copy, &QShortcut::activated, [&text] { QGuiApplication::clipboard()->setText(text); });
  box.exec();
}

}  // namespace kestrova
