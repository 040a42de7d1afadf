#include "app/ColorButton.h"

#include <QColorDialog>
#include <QGridLayout>
#include <QMenu>
#include <QPainter>
#include <QPushButton>
#include <QStyleOptionToolButton>
#include <QWidgetAction>

namespace kestrova {

namespace {
// The twenty colours of the system palette, five to a row.
const QRgb kPalette[] = {
    0x000000, 0x800000, 0x008000, 0x808000, 0x000080,
    0x800080, 0x008080, 0xC0C0C0, 0x808080, 0xFF0000,
    0x00FF00, 0xFFFF00, 0x0000FF, 0xFF00FF, 0x00FFFF,
    0xFFFFFF, 0xC0DCC0, 0xA6CAF0, 0xFFFBF0, 0xA0A0A4,
};
}  // namespace

ColorButton::ColorButton(QWidget* parent) : QToolButton(parent), palette_(new QMenu(this)) {
  setPopupMode(QToolButton::InstantPopup);
  setMenu(palette_);
  auto* grid = new QWidget(palette_);
  auto* layout = new QGridLayout(grid);
  layout->setSpacing(2);
  layout->setContentsMargins(4, 4, 4, 4);
  int n = 0;
  for (QRgb rgb : kPalette) {
    auto* swatch = new QToolButton(grid);
    const QColor colour(rgb);
    swatch->setObjectName(QString("swatch%1").arg(n));
    swatch->setFixedSize(18, 18);
    swatch->setStyleSheet(QString("background-color: %1; border: 1px solid #808080;").arg(colour.name()));
    swatch->setToolTip(colour.name());
    connect(swatch, &QToolButton::clicked, this, [this, colour] {
      palette_->close();
      choose(colour);
    });
    layout->addWidget(swatch, n / 5, n % 5);
    ++n;
  }
  auto* other = new QPushButton("Other...", grid);
  other->setObjectName("otherColor");
  connect(other, &QPushButton::clicked, this, [this] {
    palette_->close();
    chooseOther();
  });
  layout->addWidget(other, n / 5, 0, 1, 5);
  auto* action = new QWidgetAction(palette_);
  action->setDefaultWidget(grid);
  palette_->addAction(action);
}

void ColorButton::setColor(const QColor& color) {
  color_ = color;
  update();
}

void ColorButton::choose(const QColor& color) {
  setColor(color);
  emit colorChosen(color);
}

void ColorButton::chooseOther() {
  QColor picked = QColorDialog::getColor(color_, this, "Color in Preview");
  if (picked.isValid()) choose(picked);
}

void ColorButton::paintEvent(QPaintEvent* event) {
  QToolButton::paintEvent(event);
  QPainter painter(this);
  QRect swatch = rect().adjusted(4, 4, -16, -4);
  painter.fillRect(swatch, color_);
  painter.setPen(QColor(128, 128, 128));
  painter.drawRect(swatch.adjusted(0, 0, -1, -1));
}

}  // namespace kestrova
