// A button that shows a colour and offers a palette of twenty colours in five
// columns, with "Other..." for any colour (no "automatic" entry). Choosing a
// colour shows it on the button and emits colorChosen.
#pragma once

#include <QColor>
#include <QToolButton>

class QMenu;

namespace kestrova {

class ColorButton : public QToolButton {
  Q_OBJECT
 public:
  explicit ColorButton(QWidget* parent = nullptr);
  QColor color() const { return color_; }
  void setColor(const QColor& color);
  // Chooses a colour as the palette does: shows it, then emits colorChosen.
  void choose(const QColor& color);

 signals:
  void colorChosen(const QColor& color);

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  void chooseOther();

  QColor color_{255, 0, 0};
  QMenu* palette_;
};

}  // namespace kestrova
