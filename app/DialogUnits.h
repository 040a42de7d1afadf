// Dialog units to pixels, the way the Windows dialog manager lays out a
// dialog template: a horizontal unit is a quarter of the font's average
// character width, a vertical unit an eighth of its height.
#pragma once

#include <QFont>
#include <QRect>

namespace kestrova {

class DialogUnits {
 public:
  explicit DialogUnits(const QFont& font);
  int X(int units) const { return (units * baseX_ + 2) / 4; }
  int Y(int units) const { return (units * baseY_ + 4) / 8; }
  QRect Rect(int x, int y, int width, int height) const {
    return QRect(X(x), Y(y), X(width), Y(height));
  }

 private:
  int baseX_;
  int baseY_;
};

// The font of the dialog templates ("MS UI Gothic" 9 and "MS Shell Dlg" 8 on
// the recording platform): a Japanese Gothic face where one is installed,
// else the platform's default face, at `points`.
QFont TemplateFont(int points);

}  // namespace kestrova
