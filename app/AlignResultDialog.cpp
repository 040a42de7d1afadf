#include "app/AlignResultDialog.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

namespace kestrova {

namespace {

QTableWidget* MakeTable(const AlignResultDialog::Row& header,
                        const std::vector<AlignResultDialog::Row>& rows, QWidget* parent) {
  auto* table = new QTableWidget(static_cast<int>(rows.size()), static_cast<int>(header.size()),
                                 parent);
  table->setObjectName("alignResult");
  QStringList labels;
  for (const std::string& text : header) labels << QString::fromStdString(text);
  table->setHorizontalHeaderLabels(labels);
  table->verticalHeader()->hide();
  table->setEditTriggers(QAbstractItemView::NoEditTriggers);
  table->setSelectionMode(QAbstractItemView::NoSelection);
  table->setFocusPolicy(Qt::NoFocus);
  for (int r = 0; r < table->rowCount(); ++r) {
    for (int c = 0; c < table->columnCount() && c < static_cast<int>(rows[r].size()); ++c) {
      table->setItem(r, c, new QTableWidgetItem(QString::fromStdString(rows[r][c])));
    }
  }
  table->resizeColumnsToContents();
  table->resizeRowsToContents();
  table->horizontalHeader()->setStretchLastSection(true);
  // Tall and wide enough for every row: the table never scrolls.
  int width = table->verticalHeader()->width() + 4;
  for (int c = 0; c < table->columnCount(); ++c) width += table->columnWidth(c);
  int height = table->horizontalHeader()->height() + 4;
  for (int r = 0; r < table->rowCount(); ++r) height += table->rowHeight(r);
  table->setMinimumWidth(width);
  table->setFixedHeight(height);
  table->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  table->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  return table;
}

}  // namespace

AlignResultDialog::AlignResultDialog(const Row& header, const std::vector<Row>& rows,
                                     bool canApply, QWidget* parent)
    : QDialog(parent) {
  setWindowTitle("Align");
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(MakeTable(header, rows, this));
  auto* note = new QLabel(canApply ? "Apply stores the new poses of the aligned cameras."
                                   : "No camera was moved; the poses stay as they are.",
                          this);
  layout->addWidget(note);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  auto* apply = new QPushButton("Apply", this);
  apply->setObjectName("IDOK");
  apply->setEnabled(canApply);
  apply->setDefault(canApply);
  auto* cancel = new QPushButton("Cancel", this);
  cancel->setObjectName("IDCANCEL");
  buttons->addWidget(apply);
  buttons->addWidget(cancel);
  layout->addLayout(buttons);
  connect(apply, &QPushButton::clicked, this, &QDialog::accept);
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
  layout->setSizeConstraint(QLayout::SetFixedSize);
}

}  // namespace kestrova
