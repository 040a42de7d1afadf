// An edit field for a folder path with a browse button inside its right end.
#pragma once

#include <QLineEdit>

namespace kestrova {

class FolderEdit : public QLineEdit {
  Q_OBJECT
 public:
  explicit FolderEdit(QWidget* parent = nullptr);

 private:
  void Browse();
};

}  // namespace kestrova
