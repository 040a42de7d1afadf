#include "app/StatusWindow.h"

#include <QCloseEvent>
#include <QMessageBox>
#include <QVBoxLayout>

namespace kestrova {

StatusWindow::StatusWindow(CRecorder& engine, const QString& paramsPath)
    : engine_(engine), paramsPath_(paramsPath) {
  setWindowTitle("Kestrova");
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(new QLabel(QString("Sensors: %1, %2 present")
                                   .arg(QString::fromStdString(engine.BackendName()))
                                   .arg(engine.SensorCount())));
  for (int i = 0; i < kCameraCount; ++i) {
    cameraLines_[i] = new QLabel(this);
    cameraLines_[i]->setObjectName(QString("camera%1").arg(i + 1));
    layout->addWidget(cameraLines_[i]);
  }
  loopLine_ = new QLabel(this);
  layout->addWidget(loopLine_);
  move(870, 50);
  connect(&timer_, &QTimer::timeout, this, &StatusWindow::Refresh);
  timer_.start(500);
  Refresh();
}

void StatusWindow::Refresh() {
  OperatorSettings settings = engine_.owner->Settings();
  for (int i = 0; i < kCameraCount; ++i) {
    QString text = QString("Camera %1: ").arg(i + 1);
    if (!engine_.HasSensor(i)) {
      text += "no sensor";
    } else {
      std::uint64_t count = engine_.GrabCount(i);
      double rate = (count - lastCounts_[i]) / (timer_.interval() / 1000.0);
      lastCounts_[i] = count;
      text += settings.cameraEnabled[i] ? QString("enabled, %1 frames/s, time stamp %2 ms")
                                              .arg(rate, 0, 'f', 1)
                                              .arg(engine_.LastTimeStamp(i))
                                        : QString("present, not enabled");
    }
    cameraLines_[i]->setText(text);
  }
  loopLine_->setText(QString("Preview cycles: %1").arg(engine_.PreviewCycles()));
}

void StatusWindow::closeEvent(QCloseEvent* event) {
  timer_.stop();
  engine_.Close();
  std::string error;
  if (!engine_.SaveParams(paramsPath_.toStdString(), &error))
    QMessageBox::warning(this, "Kestrova", QString::fromStdString(error));
  event->accept();
}

}  // namespace kestrova
