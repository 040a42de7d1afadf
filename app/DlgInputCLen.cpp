#include "app/DlgInputCLen.h"

#include <QApplication>
#include <QFontMetrics>
#include <QLineEdit>
#include <QPushButton>
#include <algorithm>

#include "app/DialogUnits.h"
#include "app/FloatText.h"

namespace kestrova {

namespace {
// The width a window manager needs to show `title` whole beside its icon and
// buttons; the template's width is too small for it with most title fonts.
int TitleRoom(const QString& title) {
  QFont titleFont = QApplication::font();
  titleFont.setBold(true);
  return QFontMetrics(titleFont).horizontalAdvance(title) + 120;
}
}  // namespace

CDlgInputCLen::CDlgInputCLen(QWidget* parent, Prompter prompt)
    : QDialog(parent), prompt_(std::move(prompt)) {
  setWindowTitle("Length of Calibration (cm)");
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
  setFont(TemplateFont(8));
  const DialogUnits units(font());
  setFixedSize(std::max(units.X(148), TitleRoom(windowTitle())), units.Y(63));
  const int shift = (width() - units.X(148)) / 2;  // the template's controls, centred

  edit_ = new QLineEdit(this);
  edit_->setObjectName("length");
  edit_->setAlignment(Qt::AlignRight);
  edit_->setGeometry(units.Rect(18, 12, 108, 12).translated(shift, 0));

  auto* ok = new QPushButton("OK", this);
  ok->setObjectName("IDOK");
  ok->setGeometry(units.Rect(18, 36, 50, 14).translated(shift, 0));
  ok->setDefault(true);
  auto* cancel = new QPushButton(QString::fromUtf8("キャンセル"), this);
  cancel->setObjectName("IDCANCEL");
  cancel->setGeometry(units.Rect(78, 36, 50, 14).translated(shift, 0));
  cancel->setAutoDefault(false);
  connect(ok, &QPushButton::clicked, this, &CDlgInputCLen::accept);
  connect(cancel, &QPushButton::clicked, this, &CDlgInputCLen::reject);
  setTabOrder(edit_, ok);
  setTabOrder(ok, cancel);
}

int CDlgInputCLen::exec() {
  edit_->setText(FormatFloat(length));
  edit_->selectAll();
  edit_->setFocus();
  return QDialog::exec();
}

void CDlgInputCLen::accept() {
  float value;
  if (!ParseFloat(edit_->text(), &value)) {
    prompt_(this, "Please enter a number.");
    edit_->setFocus();
    edit_->selectAll();
    return;
  }
  length = value;
  QDialog::accept();
}

}  // namespace kestrova
