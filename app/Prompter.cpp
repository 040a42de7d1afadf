#include "app/Prompter.h"

#include <QMessageBox>

namespace kestrova {

void ShowPrompt(QWidget* parent, const QString& text) {
  // A word joiner after each slash keeps the line breaker out of paths.
  QString shown = text;
  shown.replace('/', QString("/") + QChar(0x2060));
  QMessageBox::warning(parent, "Kestrova", shown);
}

}  // namespace kestrova
