#include "app/KestrovaDlg.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <algorithm>
#include <cstdio>
#include <iterator>

#include "align/AlignmentRun.h"
#include "app/AlignResultDialog.h"
#include "app/ColorButton.h"
#include "app/DialogUnits.h"
#include "app/DlgInputCLen.h"
#include "app/FloatText.h"
#include "app/FolderEdit.h"
#include "app/WindowPlacement.h"
#include "capture/SensorChoice.h"
#include "preview/Calibration.h"
#include "record/ExistingTake.h"
#include "settings/Version.h"

namespace kestrova {

namespace {

// The window's size in dialog units.
constexpr int kWindowWidth = 211;
constexpr int kWindowHeight = 391;

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

// Shows a number from its start: a text longer than its field shows its
// sign and leading digits, never only its tail.
void ShowText(QLineEdit* edit, const QString& text) {
  edit->setText(text);
  edit->setCursorPosition(0);
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
  // The template's controls, packed to fit a 1024 x 768 screen beside the
  // Preview: rows 19 dialog units apart, edit fields wide enough for a
  // signed number of six digits.
  const DialogUnits u(font());
  setFixedSize(u.X(kWindowWidth), u.Y(kWindowHeight));
  // Group boxes first, so the controls drawn over them stay on top.
  auto group = [&](const char* title, int x, int y, int w, int h) {
    auto* box = new QGroupBox(title, this);
    box->setGeometry(u.Rect(x, y, w, h));
  };
  group("Camera Setting", 6, 50, 198, 118);
  group("ROI", 6, 174, 198, 72);
  group("Recording", 6, 309, 198, 76);

  // The label's room allows for the wider Latin letters of Japanese fonts.
  calibration_ = AddEdit(1000, "calibration", "Calibration (PCL Unit / cm):", {7, 9, 103, 10},
                         {112, 7, 50, 14});
  ShowAsReadOnly(calibration_);
  auto* set = new QPushButton("Set", this);
  Tag(set, 1018, "OnSetClicked");
  set->setGeometry(u.Rect(166, 7, 36, 14));
  connect(set, &QPushButton::clicked, this, &CKestrovaDlg::OnSetClicked);

  auto* cameraLabel = new QLabel("Camera:", this);
  cameraLabel->setGeometry(u.Rect(7, 27, 44, 10));
  const int checkX[kCameraCount] = {54, 80, 106, 132};
  for (int i = 0; i < kCameraCount; ++i) {
    cameraChecks_[i] = new QCheckBox(QString::number(i + 1), this);
    Tag(cameraChecks_[i], 1019 + i, QString("cameraEnabled%1").arg(i).toLatin1().constData());
    cameraChecks_[i]->setGeometry(u.Rect(checkX[i], 27, 19, 10));
    connect(cameraChecks_[i], &QCheckBox::clicked, this, &CKestrovaDlg::OnCameraCheckClicked);
  }
  previewButton_ = new QPushButton("Preview", this);
  Tag(previewButton_, 1028, "OnPreviewClicked");
  previewButton_->setGeometry(u.Rect(166, 25, 36, 14));
  previewButton_->setToolTip("Opens the Preview window, or brings it to the front");
  connect(previewButton_, &QPushButton::clicked, this, &CKestrovaDlg::OnPreviewClicked);
  // Said in the window, not only on the terminal, when no camera was found.
  cameraHint_ = new QLabel(this);
  cameraHint_->setObjectName("cameraHint");
  cameraHint_->setStyleSheet("color: #c00000;");
  cameraHint_->setGeometry(u.Rect(12, 39, 190, 10));

  auto* listLabel = new QLabel("Camera ID:", this);
  listLabel->setGeometry(u.Rect(12, 66, 40, 10));
  cameraList_ = new QComboBox(this);
  Tag(cameraList_, 1008, "cameraIndex");
  cameraList_->addItems({"1", "2", "3", "4"});
  cameraList_->setGeometry(u.Rect(52, 64, 28, 12));
  connect(cameraList_, QOverload<int>::of(&QComboBox::activated), this,
          [this](int) { OnCameraIdChanged(); });

  // Two columns of labelled fields.
  const QRect leftLabel(12, 0, 39, 10), leftEdit(52, 0, 44, 12);
  const QRect rightLabel(101, 0, 52, 10), rightEdit(154, 0, 44, 12);
  auto left = [&](int id, const char* name, const char* label, int y) {
    return AddEdit(id, name, label, leftLabel.translated(0, y + 2), leftEdit.translated(0, y));
  };
  auto right = [&](int id, const char* name, const char* label, int y) {
    return AddEdit(id, name, label, rightLabel.translated(0, y + 2), rightEdit.translated(0, y));
  };
  QLineEdit* maxDepth = right(1001, "maxDepth", "Max Depth (%):", 64);
  QLineEdit* x = left(1007, "x", "X (cm):", 83);
  QLineEdit* rx = right(1002, "rx", "RX (degree):", 83);
  QLineEdit* y = left(1006, "y", "Y (cm):", 102);
  QLineEdit* ry = right(1003, "ry", "RY (degree):", 102);
  QLineEdit* z = left(1005, "z", "Z (cm):", 121);
  QLineEdit* rz = right(1004, "rz", "RZ (degree):", 121);

  auto* colorLabel = new QLabel("Color in Preview:", this);
  colorLabel->setGeometry(u.Rect(12, 143, 64, 10));
  colorButton_ = new ColorButton(this);
  Tag(colorButton_, 1026, "previewColor");
  colorButton_->setGeometry(u.Rect(78, 141, 50, 14));
  connect(colorButton_, &ColorButton::colorChosen, this, [this] { OnColorClicked(); });
  align_ = new QPushButton("Align", this);
  Tag(align_, 1027, "OnAlignClicked");
  align_->setGeometry(u.Rect(148, 141, 50, 14));
  connect(align_, &QPushButton::clicked, this, &CKestrovaDlg::OnAlignClicked);

  QLineEdit* xMin = left(1009, "xMin", "X min (cm):", 189);
  QLineEdit* xMax = right(1014, "xMax", "X max (cm):", 189);
  QLineEdit* yMin = left(1010, "yMin", "Y min (cm):", 208);
  QLineEdit* yMax = right(1013, "yMax", "Y max (cm):", 208);
  QLineEdit* zMin = left(1011, "zMin", "Z min (cm):", 227);
  QLineEdit* zMax = right(1012, "zMax", "Z max (cm):", 227);
  QLineEdit* resolution = AddEdit(1015, "resolution", "Resolution (points/m):", {7, 255, 122, 10},
                                  {132, 253, 60, 14});
  QLineEdit* maxMinutes = AddEdit(1016, "maxRecordingMinutes", "Max Recording Time (min):",
                                  {7, 273, 122, 10}, {132, 271, 60, 14});

  auto* outputLabel = new QLabel("Output Dir:", this);
  outputLabel->setGeometry(u.Rect(7, 291, 62, 10));
  outputDir_ = new FolderEdit(this);
  Tag(outputDir_, 1017, "outputDir");
  outputDir_->setGeometry(u.Rect(72, 289, 120, 14));
  outputLabel->setBuddy(outputDir_);

  // The record button stays down while a take runs.
  record_ = ImageButton(this, ":/rec.bmp");
  Tag(record_, 1023, "OnRecordClicked");
  record_->setCheckable(true);
  record_->setGeometry(u.Rect(18, 322, 18, 18));
  connect(record_, &QPushButton::clicked, this, &CKestrovaDlg::OnRecordClicked);
  QPushButton* stop = ImageButton(this, ":/stop.bmp");
  Tag(stop, 1024, "OnStopClicked");
  stop->setGeometry(u.Rect(48, 322, 18, 18));
  connect(stop, &QPushButton::clicked, this, &CKestrovaDlg::OnStopClicked);
  recordingMark_ = new QLabel("Recording", this);
  recordingMark_->setObjectName("recordingMark");
  recordingMark_->setStyleSheet("color: #e00000; font-weight: bold;");
  recordingMark_->setGeometry(u.Rect(70, 327, 34, 10));
  recordingMark_->hide();

  elapsed_ = AddEdit(1025, "elapsedText", "Time:", {106, 327, 24, 10}, {132, 324, 60, 14});
  ShowAsReadOnly(elapsed_);
  // Cameras lost during the take, shown while it goes on without them.
  lostCameras_ = new QLabel(this);
  lostCameras_->setObjectName("lostCameras");
  lostCameras_->setStyleSheet("color: #c00000;");
  lostCameras_->setGeometry(u.Rect(12, 344, 188, 9));
  // Takes that keep every depth frame can be processed again with other settings.
  keepDepth_ = new QCheckBox("Keep depth frames", this);
  keepDepth_->setObjectName("keepDepth");
  keepDepth_->setChecked(options_.keepDepth);
  keepDepth_->setGeometry(u.Rect(12, 355, 120, 10));
  // How the running (or the latest) take's cycles come out.
  cycleStatus_ = new QLabel(this);
  cycleStatus_->setObjectName("cycleStatus");
  cycleStatus_->setGeometry(u.Rect(12, 368, 188, 9));
  // Which build this is: the version every take of this window records.
  auto* version = new QLabel(QString::fromStdString(ProgramVersion()), this);
  version->setObjectName("version");
  version->setToolTip(QString::fromStdString("Kestrova " + ProgramVersion()));
  version->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  version->setStyleSheet("color: #808080;");
  version->setGeometry(u.Rect(120, 355, 78, 10));

  // No button is ever pressed by Enter.
  for (QPushButton* button : findChildren<QPushButton*>()) {
    button->setAutoDefault(false);
    button->setDefault(false);
  }

  // The exchange order of the float fields that follow the calibration.
  using S = OperatorSettings;
  floatFields_ = {{maxDepth, &S::maxDepth, "Max Depth (%)", true, nullptr},
                  {rx, &S::rx, "RX (degree)", false, nullptr},
                  {ry, &S::ry, "RY (degree)", false, nullptr},
                  {rz, &S::rz, "RZ (degree)", false, nullptr},
                  {x, &S::x, "X (cm)", false, nullptr},
                  {y, &S::y, "Y (cm)", false, nullptr},
                  {z, &S::z, "Z (cm)", false, nullptr},
                  {maxMinutes, &S::maxRecordingMinutes, "Max Recording Time (min)", false, nullptr},
                  {resolution, &S::resolution, "Resolution (points/m)", false, nullptr},
                  {xMax, &S::xMax, "X max (cm)", false, nullptr},
                  {xMin, &S::xMin, "X min (cm)", false, &S::xMax},
                  {yMax, &S::yMax, "Y max (cm)", false, nullptr},
                  {yMin, &S::yMin, "Y min (cm)", false, &S::yMax},
                  {zMax, &S::zMax, "Z max (cm)", false, nullptr},
                  {zMin, &S::zMin, "Z min (cm)", false, &S::zMax}};

  // The template's tab order, with the Preview button after the cameras.
  QWidget* order[] = {calibration_, set, cameraChecks_[0], cameraChecks_[1], cameraChecks_[2],
                      cameraChecks_[3], previewButton_, cameraList_, maxDepth, x, rx, y, ry, z, rz,
                      colorButton_, align_, xMin, xMax, yMin, yMax, zMin, zMax, resolution, maxMinutes,
                      outputDir_, record_, stop, elapsed_};
  for (size_t i = 0; i + 1 < std::size(order); ++i) setTabOrder(order[i], order[i + 1]);
  for (QWidget* widget : order) widget->setFocusPolicy(Qt::StrongFocus);
}

int CKestrovaDlg::DoModal() {
  OnInitDialog();
  return exec();
}

void CKestrovaDlg::OnInitDialog() {
  // Beside the Preview, both on the screen's free area.
  const QScreen* screen = QGuiApplication::primaryScreen();
  const WindowPlaces places =
      PlaceWindows(screen ? screen->availableGeometry() : QRect(0, 0, 1024, 768), size());
  move(places.window);
  if (options_.placePreview) options_.placePreview(places.preview, places.previewSize);
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
  if (engine_->SensorCount() == 0) {
    cameraHint_->setText("No depth camera found. To try: kestrova --sensors sim");
    cameraHint_->setToolTip(kTrySimulatedCameras);
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
    StoreCameraSetting();  // takes every field once: one message for a bad one
    return;
  }
  if (event->key() == Qt::Key_Escape) {
    event->accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

bool CKestrovaDlg::Refuse(QLineEdit* edit, const QString& message) {
  prompt_(this, message);
  edit->setFocus();
  edit->selectAll();
  return false;
}

bool CKestrovaDlg::UpdateData(bool saveAndValidate) {
  OperatorSettings s = settings_.Settings();
  if (!saveAndValidate) {
    for (int i = 0; i < kCameraCount; ++i) cameraChecks_[i]->setChecked(s.cameraEnabled[i] != 0);
    cameraList_->setCurrentIndex(s.cameraIndex);
    ShowText(calibration_, FormatFloat(s.calibration));
    for (const FloatField& f : floatFields_) ShowText(f.edit, FormatFloat(s.*f.field));
    ShowText(elapsed_, QString::fromStdString(settings_.ElapsedText()));
    return true;
  }
  // Fields are taken in order; the first bad one stops the exchange with
  // the ones before it taken, itself and the ones after it unchanged.
  const OperatorSettings before = s;
  for (int i = 0; i < kCameraCount; ++i) s.cameraEnabled[i] = cameraChecks_[i]->isChecked() ? 1 : 0;
  s.cameraIndex = cameraList_->currentIndex();
  if (!ParseFloat(calibration_->text(), &s.calibration)) {
    s.calibration = before.calibration;
    settings_.StoreSettings(s);
    return Refuse(calibration_, "Calibration (PCL Unit / cm): please enter a number.");
  }
  for (const FloatField& f : floatFields_) {
    float value;
    QString problem;
    if (!ParseFloat(f.edit->text(), &value)) {
      problem = QString("%1: please enter a number.").arg(f.label);
    } else if (f.percentRange && !(value >= 0 && value <= 100)) {
      problem = QString("%1: please enter a number between 0 and 100.").arg(f.label);
    } else if (f.maximum && value > s.*f.maximum) {
      // A region with its minimum above its maximum holds nothing: neither
      // bound is taken, the focus goes to the one the operator changed.
      const FloatField& max = *std::prev(&f);
      s.*f.maximum = before.*f.maximum;
      settings_.StoreSettings(s);
      const bool minChanged = value != before.*f.field;
      return Refuse(minChanged ? f.edit : max.edit,
                    QString("%1 must not lie above %2: the region would hold nothing.")
                        .arg(f.label, max.label));
    }
    if (!problem.isEmpty()) {
      settings_.StoreSettings(s);
      return Refuse(f.edit, problem);
    }
    s.*f.field = value;
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
  ShowRecordingState();  // the button stays as the take is, not as clicked
  if (engine_->IsRecording()) return;
  // A new press starts from 0, also when the take is refused.
  settings_.SetElapsedText(ElapsedText(0));
  ShowTime();
  if (!UpdateData(true)) return;  // not with a value the operator is told is bad
  // The directory in the locale's encoding (UTF-8), as the take files name it.
  const QString dir = outputDir_->text();
  engine_->SetOutputDir(dir.toLocal8Bit().toStdString());
  if (IsAligning()) {
    prompt_(this, "Align is still running; start the take when its result has shown.");
    return;
  }
  const OperatorSettings s = settings_.Settings();
  if (std::none_of(std::begin(s.cameraEnabled), std::end(s.cameraEnabled), [](int on) { return on != 0; })) {
    prompt_(this, "No camera is ticked: tick the cameras to record beside \"Camera:\" first.");
    return;
  }
  if (options_.makeOutputDir && dir == options_.outputDir && !QFileInfo::exists(dir)) QDir().mkdir(dir);
  if (!MayReplaceTake()) return;
  engine_->SetKeepDepth(keepDepth_->isChecked());
  std::string error;
  if (engine_->StartRecording(&error)) {
    watchingTake_ = true;
  } else {
    prompt_(this, "The take could not start: " + QString::fromStdString(error));
  }
  ShowRecordingState();
  ShowTime();
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
  ShowRecordingState();
}

void CKestrovaDlg::ReportTakeEnd() {
  if (!watchingTake_ || engine_->TakeThreadAlive()) return;
  watchingTake_ = false;
  ShowTime();  // the take's whole length
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
    const QString open = engine_->IsPreviewRunning() ? "" : "Open the Preview with its button, then ";
    prompt_(this, open + QString(open.isEmpty() ? "Pick" : "pick") +
                      " the two ends of an object of known length in the Preview first, "
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

void CKestrovaDlg::OnPreviewClicked() {
  if (engine_->IsRecording() || engine_->TakeThreadAlive()) {
    prompt_(this, "The Preview is closed during a take; it opens again when the take ends.");
    return;
  }
  if (engine_->IsPreviewRunning()) {
    if (options_.raisePreview) options_.raisePreview();
    return;
  }
  engine_->StartPreview();
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

void CKestrovaDlg::ShowTime() {
  // Only the Time field: a refresh never touches a field the operator edits.
  const QString time = QString::fromStdString(settings_.ElapsedText());
  if (elapsed_->text() != time) ShowText(elapsed_, time);
}

void CKestrovaDlg::ShowRecordingState() {
  const bool recording = engine_ && engine_->IsRecording();
  record_->setChecked(recording);
  recordingMark_->setVisible(recording);
  previewButton_->setEnabled(!recording);
}

void CKestrovaDlg::OnTimer() {
  ShowTime();
  ShowRecordingState();
  lostCameras_->setText(LostCamerasText(*engine_));
  // The take's own figures; the preview that follows it counts afresh.
  if (engine_->IsRecording()) cycleStatus_->setText(CycleStatusText(*engine_));
  ReportTakeEnd();
}

}  // namespace kestrova
