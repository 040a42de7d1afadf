// The result of an alignment, one row per camera, with "Apply" and
// "Cancel". The rows come ready-made from the alignment's own table, so the
// window and kestrova-align show the same numbers.
#pragma once

#include <QDialog>
#include <string>
#include <vector>

namespace kestrova {

class AlignResultDialog : public QDialog {
  Q_OBJECT
 public:
  using Row = std::vector<std::string>;
  // `canApply`: some camera has a new pose; otherwise only "Cancel" acts.
  AlignResultDialog(const Row& header, const std::vector<Row>& rows, bool canApply,
                    QWidget* parent = nullptr);
};

}  // namespace kestrova
