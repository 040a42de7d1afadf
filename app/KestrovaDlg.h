// CKestrovaDlg: the operator window "Kestrova". It holds the
// OperatorSettings (as the engine's owner), shows and edits every setting,
// starts and stops takes and starts the scale calibration.
//
// Data exchange follows the dialog framework: UpdateData(true) takes the
// controls into the settings in a fixed order and stops, with a prompt and
// the focus there, at the first field that does not parse; UpdateData(false)
// shows every setting. Committed values act on the engine from its next frame.
#pragma once

#include <QDialog>
#include <QTimer>
#include <functional>
#include <memory>
#include <vector>

#include "align/AlignmentJob.h"
#include "app/Prompter.h"
#include "app/ReplaceQuestion.h"
#include "core/Recorder.h"
#include "settings/SettingsOwner.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace kestrova {

class CalibrationPicks;
class ColorButton;
class FolderEdit;

class CKestrovaDlg : public QDialog {
  Q_OBJECT
 public:
  struct Options {
    // Opens the sensors; called once, when the window opens.
    std::function<std::unique_ptr<SensorBackend>()> makeBackend;
    // The preview window; null runs the preview loop without one.
    FrameConsumer* preview = nullptr;
    // Where the points picked in the preview go; null: none can be picked.
    CalibrationPicks* picks = nullptr;
    // Places the preview's window, where the operator window places it.
    std::function<void(const QPoint& frame, const QSize& size)> placePreview;
    // Brings a running preview's window to the front.
    std::function<void()> raisePreview;
    QString paramsPath = "KVA_Params.txt";
    QString outputDir;  // the output directory shown at start
    // The first take into `outputDir` makes it when it does not exist (the
    // program's default folder); any other missing folder is refused.
    bool makeOutputDir = false;
    bool keepDepth = false;  // the start state of "Keep depth frames"
  };

  explicit CKestrovaDlg(Options options, QWidget* parent = nullptr);
  ~CKestrovaDlg() override;

  // Opens the window as the framework does: OnInitDialog, then modal.
  int DoModal();
  // Creates the engine, loads the settings file, starts the preview and
  // fills the controls.
  void OnInitDialog();
  // Stops the timer, the preview and any take, then writes the settings file.
  void OnClose();

  bool UpdateData(bool saveAndValidate);
  void OnCameraIdChanged();
  void StoreCameraSetting();
  void OnCameraCheckClicked();
  void OnColorClicked();
  void OnRecordClicked();
  void OnStopClicked();
  void OnSetClicked();
  // Opens the Preview when the operator closed it, or brings it to the front.
  void OnPreviewClicked();
  // Aligns the live cameras while the preview goes on, then shows the result
  // with "Apply" and "Cancel"; never during a take.
  void OnAlignClicked();
  void OnTimer();

  CRecorder* engine() const { return engine_.get(); }
  SettingsOwner& settings() { return settings_; }
  void SetPrompter(Prompter prompt) { prompt_ = std::move(prompt); }
  void SetReplaceQuestion(ReplaceQuestion ask) { askReplace_ = std::move(ask); }
  // True while Align gathers frames or aligns.
  bool IsAligning() const { return alignment_ != nullptr; }
  // Makes the length dialog for "Set"; tests may supply their own.
  void SetLengthDialogFactory(std::function<int(float* length)> ask) { askLength_ = std::move(ask); }

 protected:
  void closeEvent(QCloseEvent* event) override;
  // Enter commits (UpdateData, then StoreCameraSetting); Escape does nothing.
  void keyPressEvent(QKeyEvent* event) override;
  void reject() override {}  // Escape never closes the window

 private:
  struct FloatField {
    QLineEdit* edit;
    float OperatorSettings::*field;
    const char* label;  // as the operator reads it beside the field
    bool percentRange;  // must lie between 0 and 100
    // A region minimum: must not lie above the maximum, its field before it.
    float OperatorSettings::*maximum;
  };

  void BuildControls();
  QLineEdit* AddEdit(int id, const char* name, const char* label, QRect labelDlu, QRect dlu);
  // Refuses a bad field: one message naming it, the focus there.
  bool Refuse(QLineEdit* edit, const QString& message);
  void ShowTime();
  // The record button, the recording mark and the Preview button as the
  // take's state is.
  void ShowRecordingState();
  void ReportTakeEnd();
  bool MayReplaceTake();
  int AskLength(float* length);
  void OnAlignTimer();
  void EndAlignment();
  void ApplyAlignment(const AlignmentReport& report);

  Options options_;
  SettingsOwner settings_;
  std::unique_ptr<CRecorder> engine_;
  Prompter prompt_ = ShowPrompt;
  ReplaceQuestion askReplace_ = AskToReplace;
  std::function<int(float*)> askLength_;
  QTimer timer_;
  QTimer alignTimer_;
  std::unique_ptr<AlignmentJob> alignment_;
  QPushButton* align_ = nullptr;
  bool watchingTake_ = false;
  bool closed_ = false;

  FolderEdit* outputDir_;
  QCheckBox* cameraChecks_[kCameraCount];
  QCheckBox* keepDepth_ = nullptr;
  ColorButton* colorButton_;
  QComboBox* cameraList_;
  QLineEdit* calibration_;
  QLineEdit* elapsed_;
  QPushButton* record_ = nullptr;
  QPushButton* previewButton_ = nullptr;
  QLabel* recordingMark_ = nullptr;
  QLabel* cameraHint_ = nullptr;
  QLabel* lostCameras_;
  QLabel* cycleStatus_ = nullptr;
  std::vector<FloatField> floatFields_;  // in exchange order, after the calibration
};

}  // namespace kestrova
