// A plain status window for the engine: which sensors are present and how
// each camera's frames arrive. Closing it closes the engine and writes the
// settings file.
#pragma once

#include <QLabel>
#include <QTimer>
#include <QWidget>

#include "core/Recorder.h"

namespace kestrova {

class StatusWindow : public QWidget {
  Q_OBJECT
 public:
  StatusWindow(CRecorder& engine, const QString& paramsPath);

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void Refresh();

  CRecorder& engine_;
  QString paramsPath_;
  QLabel* cameraLines_[kCameraCount];
  QLabel* loopLine_;
  QTimer timer_;
  std::uint64_t lastCounts_[kCameraCount] = {};
};

}  // namespace kestrova
