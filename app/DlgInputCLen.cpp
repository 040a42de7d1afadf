#include "app/DlgInputCLen.h"

#include <QLineEdit>
#include <QPushButton>

#include "app/DialogUnits.h"
#include "app/FloatText.h"

namespace kestrova {

CDlgInputCLen::CDlgInputCLen(QWidget* parent, Prompter prompt)
    : QDialog(parent), prompt_(std::move(prompt)) {
  setWindowTitle("Length of Calibration (cm)");
  setFont(TemplateFont(8));
  const DialogUnits units(font());
  setFixedSize(units.X(148), units.Y(63));

  edit_ = new QLineEdit(this);
  edit_->setObjectName("length");
  edit_->setAlignment(Qt::AlignRight);
  edit_->setGeometry(units.Rect(18, 12, 108, 12));

  auto* ok = new QPushButton("OK", this);
  ok->setObjectName("IDOK");
  ok->setGeometry(units.Rect(18, 36, 50, 14));
  ok->setDefault(true);
  auto* cancel = new QPushButton(QString::fromUtf8("キャンセル"), this);
  cancel->setObjectName("IDCANCEL");
  cancel->setGeometry(units.Rect(78, 36, 50, 14));
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
