#include "app/DlgInputCLen.h"

#include <QApplication>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
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

// Cancel in the user's language: the template's Japanese where the user
// reads Japanese, else English.
QString CancelText() {
  const QStringList languages = QLocale().uiLanguages();
  const bool japanese = !languages.isEmpty() && languages.first().startsWith("ja");
  return japanese ? QString::fromUtf8("キャンセル") : QString("Cancel");
}

constexpr char kAskForLength[] = "Please enter the length in centimetres, a number above 0.";
}  // namespace

CDlgInputCLen::CDlgInputCLen(QWidget* parent, Prompter prompt)
    : QDialog(parent), prompt_(std::move(prompt)) {
  setWindowTitle("Length of Calibration (cm)");
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
  setFont(TemplateFont(8));
  const DialogUnits units(font());
  // The template's controls, centred, under a line saying what to type.
  setFixedSize(std::max(units.X(148), TitleRoom(windowTitle())), units.Y(77));
  const int shift = (width() - units.X(148)) / 2;

  auto* question = new QLabel("The real distance between the two picked points, in centimetres:", this);
  question->setObjectName("question");
  question->setWordWrap(true);
  question->setGeometry(units.Rect(10, 5, 128, 20).translated(shift, 0));

  edit_ = new QLineEdit(this);
  edit_->setObjectName("length");
  edit_->setAlignment(Qt::AlignRight);
  edit_->setGeometry(units.Rect(18, 27, 108, 12).translated(shift, 0));
  question->setBuddy(edit_);

  auto* ok = new QPushButton("OK", this);
  ok->setObjectName("IDOK");
  ok->setGeometry(units.Rect(18, 50, 50, 14).translated(shift, 0));
  ok->setDefault(true);
  auto* cancel = new QPushButton(CancelText(), this);
  cancel->setObjectName("IDCANCEL");
  cancel->setGeometry(units.Rect(78, 50, 50, 14).translated(shift, 0));
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
  // A length of 0 or less gives no scale: refused as letters are.
  float value;
  if (!ParseFloat(edit_->text(), &value) || !(value > 0)) {
    prompt_(this, kAskForLength);
    edit_->setFocus();
    edit_->selectAll();
    return;
  }
  length = value;
  QDialog::accept();
}

}  // namespace kestrova
