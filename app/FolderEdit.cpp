#include "app/FolderEdit.h"

#include <QAction>
#include <QFileDialog>
#include <QStyle>

namespace kestrova {

FolderEdit::FolderEdit(QWidget* parent) : QLineEdit(parent) {
  QAction* browse = addAction(style()->standardIcon(QStyle::SP_DirOpenIcon), TrailingPosition);
  browse->setObjectName("browseFolder");
  browse->setToolTip("Choose a folder");
  connect(browse, &QAction::triggered, this, &FolderEdit::Browse);
}

void FolderEdit::Browse() {
  QString folder = QFileDialog::getExistingDirectory(this, "Output Dir", text());
  if (!folder.isEmpty()) setText(folder);
}

}  // namespace kestrova
