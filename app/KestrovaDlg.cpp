#include "app/KestrovaDlg.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <cstdio>

#include "align/AlignmentRun.h"
#include "app/AlignResultDialog.h"
#include "app/ColorButton.h"
#include "app/DialogUnits.h"
#include "app/DlgInputCLen.h"
#include "app/FloatText.h"
#include "app/FolderEdit.h"
#include "preview/Calibration.h"
#include "record/ExistingTake.h"
#include "settings/Version.h"

namespace kestrova {

namespace {

void Tag(QWidget* widget, int id, const char* name) {
  widget->setObjectName(name);
  widget->setProperty("controlId", id);
}

QPushButton* ImageButton(QWidget* parent, const char* image) {
  auto* button = new QPushButton(parent);
  QPixmap pixmap(image);
  button->setIcon(QIcon(pixmap));
  button->setIconSize(pixmap.size());
  return button;
}

// Read-only fields look as they do on the recording platform: on the
// window's own background rather than the white of an editable field.
void ShowAsReadOnly(QLineEdit* edit) {
  edit->setReadOnly(true);
  QPalette palette = edit->palette();
  palette.setColor(QPalette::Base, palette.color(QPalette::Window));
  edit->setPalette(palette);
}

bool IsFault(TakeEnd end) {
  return end == TakeEnd::SensorStalled || end == TakeEnd::WriteFailed ||
         end == TakeEnd::InputEnded ||
         end == TakeEnd::InputFailed;
}

// "Camera 2 lost at frame 57; camera 3 lost at frame 80, back at 95": the
// cameras lost during the running or the latest take.
QString LostCamerasText(const CRecorder& engine) {
  QStringList parts;
  for (int i = 0; i < kCameraCount; ++i) {
    const CameraLoss loss = engine.Loss(i);
    if (!loss.Lost()) continue;
    QString part = QString("camera %1 lost at frame %2").arg(i + 1).arg(loss.lostAt);
    if (loss.backAt >= 0) part += QString(", back at %1").arg(loss.backAt);
    parts << part;
  }
  QString text = parts.join("; ");
  if (!text.isEmpty()) text[0] = text[0].toUpper();
  return text;
}

// "Cycles within 2.1 ms; missed: camera 2: 3": how far apart the running
// take's cycles' frames lie, and the cycles each camera had no frame in.
QString CycleStatusText(const CRecorder& engine) {
  const CycleStatistics& statistics = engine.Statistics();
  QStringList missed;
  for (int i = 0; i < kCameraCount; ++i)
    if (statistics.Missed(i) > 0) missed << QString("camera %1: %2").arg(i + 1).arg(statistics.Missed(i));
  return QString("Cycles within %1 ms; missed: %2")
      .arg(statistics.LargestSpreadMs(), 0, 'f', 1)
      .arg(missed.isEmpty() ? QString("none") : missed.join(", "));
}

}  // namespace

CKestrovaDlg::CKestrovaDlg(Options options, QWidget* parent)
    : QDialog(parent), options_(std::move(options)) {
  setWindowTitle("Kestrova");
  setWindowIcon(QIcon(":/kestrova.png"));
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
  setFont(TemplateFont(9));
  BuildControls();
  connect(&timer_, &QTimer::timeout, this, &CKestrovaDlg::OnTimer);
  connect(&alignTimer_, &QTimer::timeout, this, &CKestrovaDlg::OnAlignTimer);
}

CKestrovaDlg::~CKestrovaDlg() {
  if (engine_) engine_->Close();
}

QLineEdit* CKestrovaDlg::AddEdit(int id, const char* name, const char* label, QRect labelDlu,
                                 QRect dlu) {
  const DialogUnits units(font());
  auto* text = new QLabel(label, this);
  text->setGeometry(units.Rect(labelDlu.x(), labelDlu.y(), labelDlu.width(), labelDlu.height()));
  auto* edit = new QLineEdit(this);
  Tag(edit, id, name);
  edit->setAlignment(Qt::AlignRight);
  edit->setGeometry(units.Rect(dlu.x(), dlu.y(), dlu.width(), dlu.height()));
  text->setBuddy(edit);
  return edit;
}

void CKestrovaDlg::BuildControls() {
  const DialogUnits u(font());
  setFixedSize(u.X(211), u.Y(463));
  // Group boxes first, so the controls drawn over them stay on top.
  auto group = [&](const char* title, int x, int y, int w, int h) {
    auto* box = new QGroupBox(title, this);
    box->setGeometry(u.Rect(x, y, w, h));
  };
  group("Camera Setting", 6, 60, 198, 144);
  group("ROI", 6, 216, 198, 96);
  group("Recording", 6, 396, 198, 60);

  calibration_ = AddEdit(1000, "calibration", "Calibration (PCL Unit / cm):", {7, 11, 93, 10},
                         {102, 9, 60, 14});
  ShowAsReadOnly(calibration_);
  auto* set = new QPushButton("Set", this);
  Tag(set, 1018, "OnSetClicked");
  set->setGeometry(u.Rect(168, 9, 32, 14));
  connect(set, &QPushButton::clicked, this, &CKestrovaDlg::OnSetClicked);

  auto* cameraLabel = new QLabel("Camera:", this);
  cameraLabel->setGeometry(u.Rect(7, 34, 44, 10));
  const int checkX[kCameraCount] = {54, 85, 114, 145};
  for (int i = 0; i < kCameraCount; ++i) {
    cameraChecks_[i] = new QCheckBox(QString::number(i + 1), this);
    Tag(cameraChecks_[i], 1019 + i, QString("cameraEnabled%1").arg(i).toLatin1().constData());
    cameraChecks_[i]->setGeometry(u.Rect(checkX[i], 33, 19, 10));
    connect(cameraChecks_[i], &QCheckBox::clicked, this, &CKestrovaDlg::OnCameraCheckClicked);
  }

  auto* listLabel = new QLabel("Camera ID:", this);
  listLabel->setGeometry(u.Rect(12, 83, 52, 10));
  cameraList_ = new QComboBox(this);
  Tag(cameraList_, 1008, "cameraIndex");
  cameraList_->addItems({"1", "2", "3", "4"});
  cameraList_->setGeometry(u.Rect(66, 81, 24, 12));
  connect(cameraList_, QOverload<int>::of(&QComboBox::activated), this,
          [this](int) { OnCameraIdChanged(); });

  QLineEdit* maxDepth = AddEdit(1001, "maxDepth", "Max Depth (%):", {100, 83, 54, 10}, {156, 81, 36, 12});
  QLineEdit* x = AddEdit(1007, "x", "X (cm):", {12, 107, 40, 10}, {54, 105, 36, 12});
  QLineEdit* rx = AddEdit(1002, "rx", "RX (degree):", {100, 107, 54, 10}, {156, 105, 36, 12});
  QLineEdit* y = AddEdit(1006, "y", "Y (cm):", {12, 131, 40, 10}, {54, 129, 36, 12});
  QLineEdit* ry = AddEdit(1003, "ry", "RY (degree):", {100, 131, 54, 10}, {156, 129, 36, 12});
  QLineEdit* z = AddEdit(1005, "z", "Z (cm):", {12, 155, 40, 10}, {54, 153, 36, 12});
  QLineEdit* rz = AddEdit(1004, "rz", "RZ (degree):", {100, 155, 54, 10}, {156, 153, 36, 12});

  auto* colorLabel = new QLabel("Color in Preview:", this);
  colorLabel->setGeometry(u.Rect(12, 180, 64, 10));
  colorButton_ = new ColorButton(this);
  Tag(colorButton_, 1026, "previewColor");
  colorButton_->setGeometry(u.Rect(78, 177, 50, 14));
  connect(colorButton_, &ColorButton::colorChosen, this, [this] { OnColorClicked(); });
  align_ = new QPushButton("Align", this);
  Tag(align_, 1027, "OnAlignClicked");
  align_->setGeometry(u.Rect(142, 177, 50, 14));
  connect(align_, &QPushButton::clicked, this, &CKestrovaDlg::OnAlignClicked);

  QLineEdit* xMin = AddEdit(1009, "xMin", "X min (cm):", {12, 239, 46, 10}, {60, 237, 36, 12});
  QLineEdit* xMax = AddEdit(1014, "xMax", "X max (cm):", {106, 239, 49, 10}, {157, 237, 36, 12});
  QLineEdit* yMin = AddEdit(1010, "yMin", "Y min (cm):", {12, 263, 46, 10}, {60, 261, 36, 12});
  QLineEdit* yMax = AddEdit(1013, "yMax", "Y max (cm):", {106, 263, 49, 10}, {157, 261, 36, 12});
  QLineEdit* zMin = AddEdit(1011, "zMin", "Z min (cm):", {12, 287, 46, 10}, {60, 285, 36, 12});
  QLineEdit* zMax = AddEdit(1012, "zMax", "Z max (cm):", {106, 287, 49, 10}, {157, 285, 36, 12});
  QLineEdit* resolution = AddEdit(1015, "resolution", "Resolution (points/m):", {7, 324, 122, 10},
                                  {132, 321, 60, 14});
  QLineEdit* maxMinutes = AddEdit(1016, "maxRecordingMinutes", "Max Recording Time (min):",
                                  {7, 348, 122, 10}, {132, 345, 60, 14});

  auto* outputLabel = new QLabel("Output Dir:", this);
  outputLabel->setGeometry(u.Rect(7, 372, 62, 10));
  outputDir_ = new FolderEdit(this);
  Tag(outputDir_, 1017, "outputDir");
  outputDir_->setGeometry(u.Rect(72, 369, 120, 14));
  outputLabel->setBuddy(outputDir_);

  QPushButton* record = ImageButton(this, ":/rec.bmp");
  Tag(record, 1023, "OnRecordClicked");
  record->setGeometry(u.Rect(18, 414, 18, 18));
  connect(record, &QPushButton::clicked, this, &CKestrovaDlg::OnRecordClicked);
  QPushButton* stop = ImageButton(this, ":/stop.bmp");
  Tag(stop, 1024, "OnStopClicked");
  stop->setGeometry(u.Rect(48, 414, 18, 18));
  connect(stop, &QPushButton::clicked, this, &CKestrovaDlg::OnStopClicked);

  elapsed_ = AddEdit(1025, "elapsedText", "Time:", {100, 419, 30, 10}, {132, 417, 60, 14});
  ShowAsReadOnly(elapsed_);
  // Cameras lost during the take, shown while it goes on without them.
  lostCameras_ = new QLabel(this);
  lostCameras_->setObjectName("lostCameras");
  lostCameras_->setStyleSheet("color: #c00000;");
  lostCameras_->setGeometry(u.Rect(12, 433, 188, 9));
  // Takes that keep every depth frame can be processed again with other settings.
  keepDepth_ = new QCheckBox("Keep depth frames", this);
  keepDepth_->setObjectName("keepDepth");
  keepDepth_->setChecked(options_.keepDepth);
  keepDepth_->setGeometry(u.Rect(12, 443, 120, 10));
  // How the running (or the latest) take's cycles come out.
  cycleStatus_ = new QLabel(this);
  cycleStatus_->setObjectName("cycleStatus");
  cycleStatus_->setGeometry(u.Rect(12, 453, 188, 9));
  // Which build this is: the version every take of this window records.
  auto* version = new QLabel(QString::fromStdString(ProgramVersion()), this);
  version->setObjectName("version");
  version->setToolTip(QString::fromStdString("Kestrova " + ProgramVersion()));
  version->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  version->setStyleSheet("color: #808080;");
  version->setGeometry(u.Rect(120, 443, 78, 10));

  // No button is ever pressed by Enter.
  for (QPushButton* button : findChildren<QPushButton*>()) {
    button->setAutoDefault(false);
    button->setDefault(false);
  }

  // The exchange order of the float fields that follow the calibration.
  floatFields_ = {{maxDepth, &OperatorSettings::maxDepth, true},
                  {rx, &OperatorSettings::rx, false},
                  {ry, &OperatorSettings::ry, false},
                  {rz, &OperatorSettings::rz, false},
                  {x, &OperatorSettings::x, false},
                  {y, &OperatorSettings::y, false},
                  {z, &OperatorSettings::z, false},
                  {maxMinutes, &OperatorSettings::maxRecordingMinutes, false},
                  {resolution, &OperatorSettings::resolution, false},
                  {xMax, &OperatorSettings::xMax, false},
                  {xMin, &OperatorSettings::xMin, false},
                  {yMax, &OperatorSettings::yMax, false},
                  {yMin, &OperatorSettings::yMin, false},
                  {zMax, &OperatorSettings::zMax, false},
                  {zMin, &OperatorSettings::zMin, false}};

  // The template's tab order.
  QWidget* order[] = {calibration_, set, cameraChecks_[0], cameraChecks_[1], cameraChecks_[2],
                      cameraChecks_[3], cameraList_, maxDepth, x, rx, y, ry, z, rz, colorButton_, align_,
                      xMin, xMax, yMin, yMax, zMin, zMax, resolution, maxMinutes, outputDir_,
                      record, stop, elapsed_};
  for (size_t i = 0; i + 1 < std::size(order); ++i) setTabOrder(order[i], order[i + 1]);
  for (QWidget* widget : order) widget->setFocusPolicy(Qt::StrongFocus);
}

int CKestrovaDlg::DoModal() {
  OnInitDialog();
  return exec();
}

void CKestrovaDlg::OnInitDialog() {
  move(870, 50);
  show();
  raise();
  engine_ = std::make_unique<CRecorder>(options_.makeBackend ? options_.makeBackend() : nullptr);
  engine_->owner = &settings_;
  engine_->SetPreview(options_.preview);
  engine_->LoadParamsFile(options_.paramsPath.toStdString());
  engine_->StartPreview();
  UpdateData(false);
  for (int i = 0; i < kCameraCount; ++i) {
    if (engine_->HasSensor(i)) {
      // Device indexes can shift after a USB reset: the serial tells which camera is which.
      const std::string serial = engine_->Sensor(i)->NuiUniqueId();
      std::fprintf(stderr, "camera %d: %s sensor %s\n", i + 1, engine_->BackendName().c_str(),
                   serial.empty() ? "(serial unknown)" : serial.c_str());
      cameraChecks_[i]->setToolTip(QString::fromStdString(serial));
      continue;
    }
    cameraChecks_[i]->setEnabled(false);  // keeps its checked state
    cameraChecks_[i]->setToolTip("No depth sensor for this camera");
  }
  OnCameraIdChanged();
  outputDir_->setText(options_.outputDir);
  timer_.start(500);
}

void CKestrovaDlg::OnClose() {
  if (closed_) return;
  closed_ = true;
  timer_.stop();
  EndAlignment();
  // Stops the preview, then any take (also one the time limit ended and
  // that is still finishing), then the preview that take restarted.
  if (engine_) engine_->Close();
  std::string error;
  if (engine_ && !engine_->SaveParams(options_.paramsPath.toStdString(), &error))
    prompt_(this, QString::fromStdString(error));
}

void CKestrovaDlg::closeEvent(QCloseEvent* event) {
  OnClose();
  event->accept();
  QDialog::done(QDialog::Rejected);
}

void CKestrovaDlg::keyPressEvent(QKeyEvent* event) {
  // Every control of this window passes Enter and Escape on to it (none of
  // them acts on either), and keys of the dialogs it opens stay with those
  // dialogs. So each Enter pressed in this window arrives here exactly once.
  if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
    event->accept();  // never presses a button, never closes the window
    UpdateData(true);
    StoreCameraSetting();
    return;
  }
  if (event->key() == Qt::Key_Escape) {
    event->accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

bool CKestrovaDlg::UpdateData(bool saveAndValidate) {
  OperatorSettings s = settings_.Settings();
  if (!saveAndValidate) {
    for (int i = 0; i < kCameraCount; ++i) cameraChecks_[i]->setChecked(s.cameraEnabled[i] != 0);
    cameraList_->setCurrentIndex(s.cameraIndex);
    calibration_->setText(FormatFloat(s.calibration));
    for (const FloatField& f : floatFields_) f.edit->setText(FormatFloat(s.*f.field));
    elapsed_->setText(QString::fromStdString(s.elapsedText));
    return true;
  }
  // Fields are taken in order; the first that fails stops the exchange
  // with the ones before it taken.
  auto fail = [&](QLineEdit* edit, const QString& message) {
    settings_.StoreSettings(s);
    prompt_(this, message);
    edit->setFocus();
    edit->selectAll();
    return false;
  };
  for (int i = 0; i < kCameraCount; ++i) s.cameraEnabled[i] = cameraChecks_[i]->isChecked() ? 1 : 0;
  s.cameraIndex = cameraList_->currentIndex();
  if (!ParseFloat(calibration_->text(), &s.calibration))
    return fail(calibration_, "Please enter a number.");
  for (const FloatField& f : floatFields_) {
    if (!ParseFloat(f.edit->text(), &(s.*f.field))) return fail(f.edit, "Please enter a number.");
    if (f.percentRange && !(s.*f.field >= 0 && s.*f.field <= 100))
      return fail(f.edit, "Please enter a number between 0 and 100.");
  }
  settings_.StoreSettings(s);
  return true;
}

void CKestrovaDlg::OnCameraIdChanged() {
  UpdateData(true);
  OperatorSettings s = settings_.Settings();
  const CameraSetting camera = engine_->Camera(s.cameraIndex);
  s.x = camera.x;
  s.y = camera.y;
  s.z = camera.z;
  s.rx = camera.rx;
  s.ry = camera.ry;
  s.rz = camera.rz;
  s.maxDepth = camera.maxDepth;
  settings_.StoreSettings(s);
  colorButton_->setColor(QColor(camera.r & 0xFF, camera.g & 0xFF, camera.b & 0xFF));
  UpdateData(false);
}

void CKestrovaDlg::StoreCameraSetting() {
  UpdateData(true);
  const OperatorSettings s = settings_.Settings();
  CameraSetting camera = engine_->Camera(s.cameraIndex);
  camera.x = s.x;
  camera.y = s.y;
  camera.z = s.z;
  camera.rx = s.rx;
  camera.ry = s.ry;
  camera.rz = s.rz;
  camera.maxDepth = s.maxDepth;
  const QColor colour = colorButton_->color();
  camera.r = colour.red();
  camera.g = colour.green();
  camera.b = colour.blue();
  engine_->SetCamera(s.cameraIndex, camera);
}

void CKestrovaDlg::OnCameraCheckClicked() { UpdateData(true); }

void CKestrovaDlg::OnColorClicked() { StoreCameraSetting(); }

void CKestrovaDlg::OnRecordClicked() {
  UpdateData(true);
  // The directory in the locale's encoding (UTF-8), as the take files name it.
  engine_->SetOutputDir(outputDir_->text().toLocal8Bit().toStdString());
  if (engine_->IsRecording()) return;
  if (IsAligning()) {
    prompt_(this, "Align is still running; start the take when its result has shown.");
    return;
  }
  if (!MayReplaceTake()) return;
  engine_->SetKeepDepth(keepDepth_->isChecked());
  std::string error;
  if (engine_->StartRecording(&error)) {
    watchingTake_ = true;
  } else {
    prompt_(this, "The take could not start: " + QString::fromStdString(error));
  }
}

// A new take replaces the take files in its directory: only when the
// operator says so.
bool CKestrovaDlg::MayReplaceTake() {
  const std::string dir = engine_->OutputDir();
  const std::string existing = DescribeExistingTake(dir);
  if (existing.empty()) return true;
  return askReplace_(this, QString("%1 already holds %2.\n\nReplace it with a new take?")
                               .arg(QString::fromLocal8Bit(dir.c_str()), QString::fromStdString(existing)));
}

void CKestrovaDlg::OnStopClicked() {
  if (engine_->StopRecording()) ReportTakeEnd();
}

void CKestrovaDlg::ReportTakeEnd() {
  if (!watchingTake_ || engine_->TakeThreadAlive()) return;
  watchingTake_ = false;
  const TakeOutcome outcome = engine_->LastTake();
  if (IsFault(outcome.end)) {
    prompt_(this, QString("The take ended after %1 frames: %2.")
                      .arg(outcome.cycles)
                      .arg(QString::fromStdString(outcome.message)));
  }
}

int CKestrovaDlg::AskLength(float* length) {
  if (askLength_) return askLength_(length);
  CDlgInputCLen dialog(this, prompt_);
  dialog.length = *length;
  int result = dialog.exec();
  *length = dialog.length;
  return result;
}

void CKestrovaDlg::OnSetClicked() {
  const PickState none;
  auto picks = [this, &none] { return options_.picks ? options_.picks->Picks() : none; };
  if (picks().count != 2) {
    prompt_(this, "Pick the two ends of an object of known length in the Preview first, "
                  "with shift + left click; then press Set.");
    return;
  }
  float length = 100.0f;
  if (AskLength(&length) != QDialog::Accepted) return;
  float scale;
  std::string reason;
  // The picks as they are now: more picks may have come while the dialog was open.
  if (!CalibrationFromPicks(picks(), length, &scale, &reason)) {
    prompt_(this, QString::fromStdString(reason));
    return;
  }
  settings_.Modify([scale](OperatorSettings& s) { s.calibration = scale; });
  UpdateData(false);
}

void CKestrovaDlg::OnAlignClicked() {
  if (IsAligning()) return;
  if (engine_->IsRecording() || engine_->TakeThreadAlive()) {
    prompt_(this, "Align works between takes: stop the take first.");
    return;
  }
  if (!UpdateData(true)) return;
  StoreCameraSetting();  // the poses as they stand in the fields
  if (!engine_->IsPreviewRunning()) engine_->StartPreview();  // frames come from the preview
  alignment_ = std::make_unique<AlignmentJob>(*engine_, settings_.Settings(), engine_->Cameras(),
                                              kDefaultAlignCycles, -1);
  if (alignment_->Poll() == AlignmentJob::State::Failed) {
    const QString error = QString::fromStdString(alignment_->Error());
    EndAlignment();
    prompt_(this, "Align: " + error + ".");
    return;
  }
  align_->setText("Aligning...");
  align_->setEnabled(false);
  alignTimer_.start(100);
}

void CKestrovaDlg::OnAlignTimer() {
  if (!alignment_) return;
  const AlignmentJob::State state = alignment_->Poll();
  if (state == AlignmentJob::State::Gathering || state == AlignmentJob::State::Aligning) return;
  std::unique_ptr<AlignmentJob> job = std::move(alignment_);
  EndAlignment();
  if (state == AlignmentJob::State::Failed) {
    prompt_(this, "Align: " + QString::fromStdString(job->Error()) + ".");
  } else {
    const AlignmentReport& report = job->Report();
    AlignResultDialog dialog(AlignmentTableHeader(), AlignmentTableRows(report), report.AnyAligned(), this);
    if (dialog.exec() == QDialog::Accepted) ApplyAlignment(report);
  }
  // The button was disabled while aligning, so the focus had moved on.
  if (align_) align_->setFocus();
}

void CKestrovaDlg::EndAlignment() {
  alignTimer_.stop();
  alignment_.reset();  // detaches from the engine, waits for its thread
  if (align_) {
    align_->setText("Align");
    align_->setEnabled(true);
  }
}

void CKestrovaDlg::ApplyAlignment(const AlignmentReport& report) {
  CameraSettings cameras = engine_->Cameras();
  kestrova::ApplyAlignment(report, cameras);
  for (int slot = 0; slot < kCameraCount; ++slot) engine_->SetCamera(slot, cameras[slot]);
  OnCameraIdChanged();  // the selected camera's fields show its new pose
}

void CKestrovaDlg::OnTimer() {
  if (engine_->IsRecording()) UpdateData(false);
  lostCameras_->setText(LostCamerasText(*engine_));
  // The take's own figures; the preview that follows it counts afresh.
  if (engine_->IsRecording()) cycleStatus_->setText(CycleStatusText(*engine_));
  ReportTakeEnd();
}

}  // namespace kestrova
