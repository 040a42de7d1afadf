// The operator window "Kestrova" (Qt Test, under Xvfb): its start, the commit
// rules of its controls, the data exchange on bad input, Enter and Escape,
// the timer during a take, the calibration and the close.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QScreen>
#include <QtTest>
#include <cmath>
#include <tuple>

#include "app/ColorButton.h"
#include "app/DlgInputCLen.h"
#include "app/KestrovaDlg.h"
#include "app/WindowPlacement.h"
#include "preview/CalibrationPicks.h"
#include "capture/SensorChoice.h"
#include "tests/support/TempDir.h"

using namespace kestrova;

static const char kLengthPrompt[] = "Please enter the length in centimetres, a number above 0.";

class WindowTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<testing::TempDir> dir_;
  std::unique_ptr<CKestrovaDlg> dlg_;
  std::unique_ptr<CalibrationPicks> picks_;  // what the preview would pick
  QStringList prompts_;

  void Open(const std::string& sensors = "sim:4", const std::string& params = "",
            bool keepDepth = false) {
    if (!params.empty()) testing::WriteFile(dir_->File("KVA_Params.txt"), params);
    CKestrovaDlg::Options options;
    options.keepDepth = keepDepth;
    options.makeBackend = [sensors] {
      std::string error;
      return MakeSensorBackend(sensors, 30, &error);
    };
    options.paramsPath = QString::fromStdString(dir_->File("KVA_Params.txt"));
    options.outputDir = QString::fromStdString(dir_->path());
    picks_ = std::make_unique<CalibrationPicks>();
    options.picks = picks_.get();
    dlg_ = std::make_unique<CKestrovaDlg>(options);
    dlg_->SetPrompter([this](QWidget*, const QString& text) { prompts_ << text; });
    dlg_->OnInitDialog();
    QVERIFY(QTest::qWaitForWindowExposed(dlg_.get()));
  }
  template <class T = QLineEdit>
  T* Control(const char* name) {
    T* control = dlg_->findChild<T*>(name);
    if (!control) qFatal("no control %s", name);
    return control;
  }
  void Type(const char* name, const QString& text) {
    QLineEdit* edit = Control(name);
    edit->setFocus();
    edit->selectAll();
    QTest::keyClicks(edit, text);
  }
  void PressEnter(const char* name) { QTest::keyClick(Control<QWidget>(name), Qt::Key_Return); }
  void SelectCamera(int index) {
    auto* list = Control<QComboBox>("cameraIndex");
    list->setCurrentIndex(index);
    emit list->activated(index);  // as a choice in the list
  }
  CameraSetting Camera(int i) { return dlg_->engine()->Camera(i); }
  void UpdateDataFalse() { dlg_->UpdateData(false); }
  OperatorSettings Settings() { return dlg_->settings().Settings(); }

 private slots:
  void init() {
    dir_ = std::make_unique<testing::TempDir>();
    prompts_.clear();
  }
  void cleanup() {
    if (dlg_) dlg_->close();
    dlg_.reset();
    dir_.reset();
  }

  void opensWithTheDefaults() {
    Open();
    QCOMPARE(dlg_->windowTitle(), QString("Kestrova"));
    QCOMPARE(dlg_->minimumSize(), dlg_->maximumSize());  // fixed size
    // Beside the Preview, both within the screen (by PlaceWindows).
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    QVERIFY(screen.contains(dlg_->frameGeometry()));
    QCOMPARE(dlg_->pos(), PlaceWindows(screen, dlg_->size()).window);
    QVERIFY(Control<QCheckBox>("cameraEnabled0")->isChecked());
    QVERIFY(!Control<QCheckBox>("cameraEnabled1")->isChecked());
    QCOMPARE(Control<QComboBox>("cameraIndex")->currentText(), QString("1"));
    QCOMPARE(Control<QComboBox>("cameraIndex")->count(), 4);
    QCOMPARE(Control("calibration")->text(), QString("0.0012"));
    QCOMPARE(Control("z")->text(), QString("-70"));
    QCOMPARE(Control("rx")->text(), QString("17"));
    QCOMPARE(Control("maxDepth")->text(), QString("15"));
    QCOMPARE(Control("maxRecordingMinutes")->text(), QString("11"));
    QCOMPARE(Control<ColorButton>("previewColor")->color(), QColor(255, 255, 0));
    QCOMPARE(Control("elapsedText")->text(), QString(" 0 min  0 sec"));
    for (const char* readOnly : {"calibration", "elapsedText"}) {  // and they look it
      QLineEdit* edit = Control(readOnly);
      QVERIFY(edit->isReadOnly());
      QCOMPARE(edit->palette().color(QPalette::Base), dlg_->palette().color(QPalette::Window));
    }
    QVERIFY(Control("x")->palette().color(QPalette::Base) != dlg_->palette().color(QPalette::Window));
    QCOMPARE(Control("x")->alignment() & Qt::AlignRight, Qt::AlignRight);
    QVERIFY(dlg_->engine()->IsPreviewRunning());
  }

  void missingSensorBoxIsDisabledAndKeepsItsState() {
    Open("sim:2", "TIME: x\r\n \r\nCAL: 0.0012 \r\nCAM: 1 0 1 0 \r\n");
    auto* third = Control<QCheckBox>("cameraEnabled2");
    QVERIFY(!third->isEnabled());
    QVERIFY(third->isChecked());
    QVERIFY(Control<QCheckBox>("cameraEnabled1")->isEnabled());
    QTest::mouseClick(third, Qt::LeftButton);
    QVERIFY(third->isChecked());
    QCOMPARE(Settings().cameraEnabled[2], 1);
  }

  void withoutSensorsEveryBoxIsDisabledAndTheWindowSaysWhy() {
    Open("sim:0");
    for (int i = 0; i < 4; ++i)
      QVERIFY(!Control<QCheckBox>(QString("cameraEnabled%1").arg(i).toLatin1().constData())->isEnabled());
    QVERIFY(Control<QCheckBox>("cameraEnabled0")->isChecked());
    QVERIFY(dlg_->isVisible());
    QVERIFY(Control<QLabel>("cameraHint")->text().contains("--sensors sim"));
  }

  void realSensorsAbsentLeaveEveryBoxDisabled() {
    Open("freenect");  // no device is connected here
    for (int i = 0; i < 4; ++i)
      QVERIFY(!Control<QCheckBox>(QString("cameraEnabled%1").arg(i).toLatin1().constData())->isEnabled());
  }

  void typingAloneCommitsNothing() {
    Open();
    Type("x", "12");
    Type("resolution", "50");
    QCOMPARE(Settings().resolution, 100.0f);
    QCOMPARE(Camera(0).x, 3.0f);
  }

  void enterCommitsTheSettingsAndTheSelectedCamera() {
    Open();
    Type("x", "12.5");
    Type("resolution", "50");
    PressEnter("resolution");
    QCOMPARE(Settings().resolution, 50.0f);
    QCOMPARE(Camera(0).x, 12.5f);
    QVERIFY(prompts_.isEmpty());
  }

  void everyEnterCommitsAndEveryBadValueSaysSo() {
    Open();
    Type("x", "1");
    PressEnter("x");
    Type("x", "2");
    PressEnter("x");
    QCOMPARE(Camera(0).x, 2.0f);
    Type("resolution", "50");
    PressEnter("resolution");
    QCOMPARE(Settings().resolution, 50.0f);
    Type("rx", "abc");
    PressEnter("rx");
    PressEnter("rx");
    QCOMPARE(prompts_, QStringList({"RX (degree): please enter a number.", "RX (degree): please enter a number."}));  // once per Enter
    Type("rx", "5");
    Type("z", "-3");
    PressEnter("z");
    QCOMPARE(Camera(0).rx, 5.0f);
    QCOMPARE(Camera(0).z, -3.0f);
  }

  void selectingAnotherCameraDropsUncommittedTyping() {
    Open();
    Type("x", "44");
    Type("resolution", "70");
    SelectCamera(2);
    QCOMPARE(Camera(0).x, 3.0f);                      // camera 1 keeps its X
    QCOMPARE(Settings().resolution, 70.0f);           // the other fields were taken
    QCOMPARE(Control("x")->text(), QString("-85.5"));  // camera 3 is shown
    QCOMPARE(Control("ry")->text(), QString("90"));
    QCOMPARE(Control<ColorButton>("previewColor")->color(), QColor(0, 255, 255));
  }

  void choosingAColourCommitsThatCamerasTypedPose() {
    Open();
    SelectCamera(1);
    Type("z", "-7.25");
    Control<ColorButton>("previewColor")->choose(QColor(10, 20, 30));
    const CameraSetting second = Camera(1);
    QCOMPARE(second.z, -7.25f);
    QCOMPARE(second.r, 10);
    QCOMPARE(second.g, 20);
    QCOMPARE(second.b, 30);
    QCOMPARE(Camera(0).z, -70.0f);
  }

  void checkBoxTakesTheSettingsButNoCamera() {
    Open();
    Type("x", "9");
    Type("zMax", "20");
    Control<QCheckBox>("cameraEnabled3")->click();
    QCOMPARE(Settings().cameraEnabled[3], 1);
    QCOMPARE(Settings().zMax, 20.0f);
    QCOMPARE(Camera(0).x, 3.0f);
  }

  void aBadValueStopsTheExchangeThereWithOneMessageNamingIt() {
    Open();
    Type("maxDepth", "20");   // before RX in the exchange order
    Type("rx", "abc");
    Type("resolution", "50");  // after it
    PressEnter("resolution");
    QCOMPARE(prompts_, QStringList{"RX (degree): please enter a number."});
    QCOMPARE(Settings().maxDepth, 20.0f);
    QCOMPARE(Settings().rx, 17.0f);
    QCOMPARE(Settings().resolution, 100.0f);
    QCOMPARE(Camera(0).maxDepth, 20.0f);
    QCOMPARE(Camera(0).rx, 17.0f);
    QCOMPARE(dlg_->focusWidget(), Control<QWidget>("rx"));

    // Out of range: refused like a bad number, the previous value stays.
    prompts_.clear();
    Type("rx", "5");
    Type("maxDepth", "120");
    PressEnter("rx");
    QCOMPARE(prompts_, QStringList{"Max Depth (%): please enter a number between 0 and 100."});
    QCOMPARE(Settings().maxDepth, 20.0f);
    QCOMPARE(Camera(0).maxDepth, 20.0f);
    QCOMPARE(Settings().rx, 17.0f);
    QCOMPARE(dlg_->focusWidget(), Control<QWidget>("maxDepth"));
  }

  void aRegionWithItsMinimumAboveItsMaximumIsRefused() {
    const struct {
      const char* field;
      const char* text;
      const char* message;
    } cases[] = {{"xMin", "30", "X min (cm) must not lie above X max (cm): the region would hold nothing."},
                 {"yMax", "-50", "Y min (cm) must not lie above Y max (cm): the region would hold nothing."},
                 {"zMin", "13.5", "Z min (cm) must not lie above Z max (cm): the region would hold nothing."}};
    Open();
    for (const auto& c : cases) {
      prompts_.clear();
      Type("resolution", "50");  // before the region, taken
      Type("zMax", "12");  // after the x and y bounds: taken only in the z case, which it is part of
      Type(c.field, c.text);
      PressEnter(c.field);
      QCOMPARE(prompts_, QStringList{c.message});
      QCOMPARE(dlg_->focusWidget(), Control<QWidget>(c.field));
      const OperatorSettings s = Settings();
      QCOMPARE(std::make_tuple(s.xMin, s.xMax, s.yMin, s.yMax, s.zMin),
               std::make_tuple(-29.0f, 26.0f, -41.0f, -4.0f, -22.0f));
      QCOMPARE(s.zMax, 13.0f);
      QCOMPARE(s.resolution, 50.0f);
      UpdateDataFalse();
    }
    Type("zMin", "12");  // a minimum up to the maximum is a region
    PressEnter("zMin");
    QCOMPARE(Settings().zMin, 12.0f);
  }

  void enterAndEscapeNeverCloseTheWindow() {
    Open();
    auto* record = Control<QPushButton>("OnRecordClicked");
    record->setFocus();
    QTest::keyClick(record, Qt::Key_Return);
    QTest::keyClick(record, Qt::Key_Escape);
    QTest::keyClick(Control<QWidget>("x"), Qt::Key_Escape);
    QTest::keyClick(dlg_.get(), Qt::Key_Escape);
    QVERIFY(dlg_->isVisible());
    QVERIFY(!dlg_->engine()->IsRecording());  // Enter did not press the button
  }

  void recordTakesTheSettingsAndTheTimerShowsOnlyTheTime() {
    Open("sim:1");
    Type("x", "55");
    Type("maxRecordingMinutes", "5");
    auto* record = Control<QPushButton>("OnRecordClicked");
    record->click();
    QVERIFY(dlg_->engine()->IsRecording());
    QCOMPARE(Settings().maxRecordingMinutes, 5.0f);
    QCOMPARE(Camera(0).x, 3.0f);
    // The take shows: the record button stays down, "Recording" beside it,
    // the Preview button waits for the end of the take.
    QVERIFY(record->isChecked());
    QVERIFY(Control<QLabel>("recordingMark")->isVisible());
    QVERIFY(!Control<QPushButton>("OnPreviewClicked")->isEnabled());
    // What is typed during a take stays as typed over the ticks.
    Type("resolution", "7");
    QTRY_VERIFY_WITH_TIMEOUT(Control("elapsedText")->text() == " 0 min  2 sec", 10000);
    QCOMPARE(Control("resolution")->text(), QString("7"));
    QCOMPARE(Settings().resolution, 100.0f);
    Control<QPushButton>("OnStopClicked")->click();
    QVERIFY(!dlg_->engine()->IsRecording());
    QVERIFY(dlg_->engine()->IsPreviewRunning());
    QVERIFY(!record->isChecked());
    QVERIFY(!Control<QLabel>("recordingMark")->isVisible());
    QVERIFY(QFile::exists(QString::fromStdString(dir_->File("PCL1.dat"))));
    QVERIFY(prompts_.isEmpty());
    // Time ends at the take's whole length, and a refused take starts it at 0.
    QCOMPARE(Control("elapsedText")->text(), QString(" 0 min  2 sec"));
    Control<QLineEdit>("outputDir")->setText(QString::fromStdString(dir_->File("missing")));
    record->click();
    QCOMPARE(prompts_.size(), 1);
    QCOMPARE(Control("elapsedText")->text(), QString(" 0 min  0 sec"));
  }

  void keepDepthFramesDecidesWhetherATakeKeepsThem() {
    Open("sim:1");
    auto* keep = Control<QCheckBox>("keepDepth");
    QCOMPARE(keep->text(), QString("Keep depth frames"));
    QVERIFY(!keep->isChecked());  // off unless asked
    QTest::mouseClick(keep, Qt::LeftButton, {}, QPoint(5, keep->height() / 2));
    QVERIFY(keep->isChecked());
    Control<QPushButton>("OnRecordClicked")->click();
    QVERIFY(dlg_->engine()->IsRecording());
    QTRY_VERIFY_WITH_TIMEOUT(dlg_->engine()->RecordCycles() >= 3, 10000);
    Control<QPushButton>("OnStopClicked")->click();
    QVERIFY(!dlg_->engine()->IsRecording());
    QVERIFY(QFile(QString::fromStdString(dir_->File("DEPTH1.dat"))).size() > 16);
    cleanup();
    init();
    Open("sim:1", "", true);  // kestrova --keep-depth
    QVERIFY(Control<QCheckBox>("keepDepth")->isChecked());
    Control<QCheckBox>("keepDepth")->setChecked(false);
    Control<QPushButton>("OnRecordClicked")->click();
    QVERIFY(dlg_->engine()->IsRecording());
    Control<QPushButton>("OnStopClicked")->click();
    QVERIFY(QFile::exists(QString::fromStdString(dir_->File("PCL1.dat"))));
    QVERIFY(!QFile::exists(QString::fromStdString(dir_->File("DEPTH1.dat"))));
  }

  void cameraLostDuringATakeIsShownWhileTheTakeGoesOn() {
    Open("sim:3,unplug=2@30", "TIME: x\r\n \r\nCAL: 0.0012 \r\nCAM: 1 1 1 0 \r\n");
    Control<QPushButton>("OnRecordClicked")->click();
    auto* status = Control<QLabel>("lostCameras");
    QTRY_VERIFY_WITH_TIMEOUT(status->text().startsWith("Camera 2 lost at frame "), 20000);
    QVERIFY(dlg_->engine()->IsRecording());
    QVERIFY(prompts_.isEmpty());  // told without a message box that would hold the operator
    const int lostAt = dlg_->engine()->Loss(1).lostAt;
    QCOMPARE(status->text(), QString("Camera 2 lost at frame %1").arg(lostAt));
    Control<QPushButton>("OnStopClicked")->click();
    QCOMPARE(dlg_->engine()->LastTake().end, TakeEnd::Stopped);
  }

  void takeThatCannotStartSaysWhy() {
    Open();
    Control<QLineEdit>("outputDir")->setText(QString::fromStdString(dir_->File("missing")));
    Control<QPushButton>("OnRecordClicked")->click();
    QVERIFY(!dlg_->engine()->IsRecording());
    QCOMPARE(prompts_.size(), 1);
    QVERIFY(prompts_[0].contains(QString::fromStdString(dir_->File("missing"))));
  }

  void takeWithNoCameraTickedIsRefused() {
    Open("sim:2", "TIME: x\r\n \r\nCAL: 0.0012 \r\nCAM: 0 0 0 0 \r\n");
    Control<QPushButton>("OnRecordClicked")->click();
    QVERIFY(!dlg_->engine()->IsRecording());
    QCOMPARE(prompts_, QStringList{"No camera is ticked: tick the cameras to record beside \"Camera:\" first."});
    QVERIFY(!QFile::exists(QString::fromStdString(dir_->File("RECPARAM.txt"))));
  }

  void theDefaultFolderIsMadeByTheFirstTake() {
    const QString folder = QString::fromStdString(dir_->File("Kestrova"));
    CKestrovaDlg::Options options;
    options.makeBackend = [] {
      std::string error;
      return MakeSensorBackend("sim:1", 30, &error);
    };
    options.paramsPath = QString::fromStdString(dir_->File("KVA_Params.txt"));
    options.outputDir = folder;
    options.makeOutputDir = true;
    dlg_ = std::make_unique<CKestrovaDlg>(options);
    dlg_->SetPrompter([this](QWidget*, const QString& text) { prompts_ << text; });
    dlg_->OnInitDialog();
    QVERIFY(!QFileInfo::exists(folder));  // not by opening the window
    Control<QLineEdit>("outputDir")->setText(folder + "/deeper");
    Control<QPushButton>("OnRecordClicked")->click();  // another missing folder: refused
    QVERIFY(!dlg_->engine()->IsRecording());
    QVERIFY(!QFileInfo::exists(folder));
    Control<QLineEdit>("outputDir")->setText(folder);
    Control<QPushButton>("OnRecordClicked")->click();
    QVERIFY(dlg_->engine()->IsRecording());
    QTRY_VERIFY_WITH_TIMEOUT(dlg_->engine()->RecordCycles() >= 2, 10000);
    Control<QPushButton>("OnStopClicked")->click();
    QVERIFY(QFile::exists(folder + "/PCL1.dat"));
    QCOMPARE(prompts_.size(), 1);
  }

  void takeWithoutASensorForAnyEnabledCameraIsRefused() {
    Open("sim:1", "TIME: x\r\n \r\nCAL: 0.001200 \r\nCAM: 0 0 1 0 \r\n");  // camera 3 has no sensor
    Control<QPushButton>("OnRecordClicked")->click();
    QVERIFY(!dlg_->engine()->IsRecording());
    QCOMPARE(prompts_, QStringList{"The take could not start: none of the enabled cameras has a sensor"});
    QVERIFY(!QFile::exists(QString::fromStdString(dir_->File("RECPARAM.txt"))));
  }

  void replacingATakeAsksFirstAndEnterKeepsIt() {
    Open("sim:1");
    testing::WriteFile(dir_->File("RECPARAM.txt"), "older");
    testing::WriteFile(dir_->File("PCL1.dat"), std::string(4, '\0'));
    testing::WriteFile(dir_->File("TS1.txt"), "0 0 5 \r\n");
    // The real question box: read it and press Enter once it is up.
    QString question;
    bool noIsDefault = false;
    QTimer answer;
    connect(&answer, &QTimer::timeout, [&] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (!box) return;
      answer.stop();
      question = box->text();
      noIsDefault = box->defaultButton() == box->button(QMessageBox::No);
      QTest::keyClick(box, Qt::Key_Return);
    });
    answer.start(50);
    Control<QPushButton>("OnRecordClicked")->click();
    QVERIFY(question.startsWith(QString::fromStdString(dir_->path()) + " already holds a take (RECPARAM.txt, PCL1.dat, TS1.txt; "));
    QVERIFY(question.endsWith("Replace it with a new take?"));
    QVERIFY(noIsDefault);
    QVERIFY(!dlg_->engine()->IsRecording());
    QCOMPARE(testing::ReadFile(dir_->File("RECPARAM.txt")), std::string("older"));
    QCOMPARE(testing::ReadFile(dir_->File("TS1.txt")), std::string("0 0 5 \r\n"));

    dlg_->SetReplaceQuestion([](QWidget*, const QString&) { return true; });
    Control<QPushButton>("OnRecordClicked")->click();
    QVERIFY(dlg_->engine()->IsRecording());
    QTRY_VERIFY_WITH_TIMEOUT(dlg_->engine()->RecordCycles() > 2, 10000);
    Control<QPushButton>("OnStopClicked")->click();
    QVERIFY(testing::ReadFile(dir_->File("RECPARAM.txt")).rfind("TIME: ", 0) == 0);
    QVERIFY(prompts_.isEmpty());
  }

  void setNeedsTwoPicksAndAsksForTheLength() {
    Open();
    int asked = 0;
    float offered = 0;
    float answer = 100;
    int result = QDialog::Accepted;
    dlg_->SetLengthDialogFactory([&](float* length) {
      ++asked;
      offered = *length;
      *length = answer;
      return result;
    });
    auto* set = Control<QPushButton>("OnSetClicked");
    set->click();
    picks_->OnPointPicked(0.1f, 0.0f, 0.0f);
    set->click();
    QCOMPARE(asked, 0);  // fewer than two picks: no dialog, but what to do
    QCOMPARE(prompts_.size(), 2);
    QVERIFY(prompts_[1].contains("shift + left click"));
    prompts_.clear();
    picks_->OnPointPicked(0.1f, 0.0f, 0.125f);
    set->click();
    QCOMPARE(asked, 1);
    QCOMPARE(offered, 100.0f);
    QCOMPARE(Settings().calibration, 0.00125f);
    QCOMPARE(Control("calibration")->text(), QString("0.00125"));

    result = QDialog::Rejected;  // Cancel: nothing changes
    answer = 50;
    set->click();
    QCOMPARE(Settings().calibration, 0.00125f);

    result = QDialog::Accepted;  // a refused length: a message, the scale stays
    answer = 0;
    set->click();
    QCOMPARE(Settings().calibration, 0.00125f);
    QCOMPARE(prompts_.size(), 1);
    QVERIFY(prompts_[0].contains("above 0"));

    picks_->OnPointPicked(1, 1, 1);  // third pick: the pair is gone
    set->click();
    QCOMPARE(asked, 3);
    QCOMPARE(prompts_.size(), 2);
  }

  void lengthDialogOpensWith100AndRefusesText() {
    Open();
    Type("x", "99");  // typed in the window behind, never committed
    picks_->OnPointPicked(0, 0, 0);
    picks_->OnPointPicked(0, 0.3f, 0);
    bool seen = false;
    QTimer::singleShot(0, [&] {
      auto* dialog = qobject_cast<CDlgInputCLen*>(QApplication::activeModalWidget());
      QVERIFY(dialog);
      QCOMPARE(dialog->windowTitle(), QString("Length of Calibration (cm)"));
      auto* edit = dialog->findChild<QLineEdit*>("length");
      QCOMPARE(edit->text(), QString("100"));
      QCOMPARE(dialog->findChild<QPushButton*>("IDCANCEL")->text(), QString("Cancel"));
      QVERIFY(dialog->findChild<QLabel*>("question")->text().contains("centimetres"));
      for (const char* refused : {"abc", "0", "-2"}) {
        edit->setText(refused);
        dialog->findChild<QPushButton*>("IDOK")->click();  // refused: stays open
        QVERIFY(dialog->isVisible());
      }
      edit->setText("30");
      QTest::keyClick(edit, Qt::Key_Return);  // OK by Enter; the window behind takes nothing
      seen = true;
    });
    Control<QPushButton>("OnSetClicked")->click();
    QVERIFY(seen);
    QCOMPARE(prompts_, QStringList({kLengthPrompt, kLengthPrompt, kLengthPrompt}));
    QCOMPARE(Settings().calibration, 0.3f / 30.0f);
    QCOMPARE(Camera(0).x, 3.0f);
    // Cancel as the template has it for a user who reads Japanese.
    const QLocale before;
    QLocale::setDefault(QLocale(QLocale::Japanese, QLocale::Japan));
    CDlgInputCLen japanese;
    QLocale::setDefault(before);
    QCOMPARE(japanese.findChild<QPushButton*>("IDCANCEL")->text(), QString::fromUtf8("キャンセル"));
  }

  void closeJoinsThePreviewAndWritesTheSettingsFile() {
    Open();
    Type("resolution", "64");
    PressEnter("resolution");
    dlg_->close();
    QVERIFY(!dlg_->engine()->IsPreviewRunning());
    const std::string file = testing::ReadFile(dir_->File("KVA_Params.txt"));
    QVERIFY(file.find("RESOLUTION: 64.000000 \r\n") != std::string::npos);
  }

  void closeDuringATakeEndsItAndWritesTheSettingsFile() {
    Open("sim:1");
    Control<QPushButton>("OnRecordClicked")->click();
    QTRY_VERIFY_WITH_TIMEOUT(dlg_->engine()->RecordCycles() > 5, 10000);
    const std::string snapshot = testing::ReadFile(dir_->File("RECPARAM.txt"));
    dlg_->close();
    QCOMPARE(dlg_->engine()->LastTake().end, TakeEnd::Closed);
    QVERIFY(!dlg_->engine()->IsPreviewRunning());
    QVERIFY(!dlg_->engine()->TakeThreadAlive());
    QCOMPARE(testing::ReadFile(dir_->File("RECPARAM.txt")), snapshot);
    QVERIFY(testing::ReadFile(dir_->File("KVA_Params.txt")).rfind("TIME: ", 0) == 0);
  }
};

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  Q_INIT_RESOURCE(kestrova);
  WindowTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "WindowTest.moc"
