#include "app/DialogUnits.h"

#include <QFontDatabase>
#include <QFontMetrics>

namespace kestrova {

DialogUnits::DialogUnits(const QFont& font) {
  QFontMetrics metrics(font);
  // The average width of the 52 Latin letters, rounded, as GDI computes it.
  const int letters =
      metrics.horizontalAdvance("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
  baseX_ = (letters / 26 + 1) / 2;
  baseY_ = metrics.height();
}

QFont TemplateFont(int points) {
  const QStringList families = QFontDatabase().families();
  for (const char* family : {"IPAPGothic", "IPAGothic", "VL PGothic"}) {
    if (families.contains(family)) return QFont(family, points);
  }
  QFont font;
  font.setPointSize(points);
  return font;
}

}  // namespace kestrova
