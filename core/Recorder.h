// CRecorder: the engine. One per run. It owns the sensors, the per-camera
// settings, the point clouds, the take files and the worker threads.
//
// Thread model. At most one preview thread and at most one recording thread,
// never both grabbing at once; per frame, one grab thread per active camera,
// forked and joined by the loop (boost::thread_group). The frame-end
// events of the cameras a loop grabs pace it: the first one's, or the next
// one's while the first falls behind. Two atomic flags,
// previewRunning and recording, start and stop the loops; the joins order
// every hand-over of the sensors and clouds. Each frame works with one
// consistent copy of the settings, taken by the loop before it forks.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <boost/thread/thread.hpp>
#include <pcl/point_cloud.h>
#include <pcl/point_types.h>

#include "capture/NuiSensor.h"
#include "core/FrameConsumer.h"
#include "core/LostCameras.h"
#include "core/PickState.h"
#include "core/TakeRecording.h"
#include "settings/ParamsFile.h"
#include "settings/Settings.h"
#include "settings/SettingsOwner.h"

namespace kestrova {

class CRecorder;

// How a take ended.
enum class TakeEnd {
  None,
  Stopped,
  TimeLimit,
  Closed,
  CycleLimit,  // the number of cycles asked for was recorded
  SensorStalled,
  InputEnded,  // a replayed camera has no more frames
  InputFailed,  // a replayed frame could not be read
  WriteFailed,
  ThreadFailed
};

struct TakeOutcome {
  TakeEnd end = TakeEnd::None;
  int cycles = 0;
  std::string message;  // why, for the operator; empty for a plain stop
};

// Bounds of the engine's waits.
struct EngineTiming {
  std::chrono::milliseconds frameWait{500};      // a grab's wait for its camera's frame
  std::chrono::milliseconds stallLimit{2000};    // no frame-end signal this long: a stalled sensor
  std::chrono::milliseconds nominalPeriod{33};   // pacing without any sensor
  double sensorFramePeriodMs = 1000.0 / 30;      // to count frames missing from time stamps
};

class CRecorder {
 public:
  // Sets the camera defaults, then opens sensors 0..3 from `backend`.
  explicit CRecorder(std::unique_ptr<SensorBackend> backend, const EngineTiming& timing = {});
  // Closes, if Close has not run.
  ~CRecorder();
  CRecorder(const CRecorder&) = delete;
  CRecorder& operator=(const CRecorder&) = delete;

  // The holder of the OperatorSettings; the engine's own until set.
  SettingsOwner* owner;

  // --- sensors
  bool HasSensor(int slot) const { return sensors_[slot] != nullptr; }
  int SensorCount() const;
  INuiSensor* Sensor(int slot) const { return sensors_[slot].get(); }
  std::string BackendName() const { return backendName_; }
  // The cameras that are enabled and have a sensor: those a loop grabs.
  std::array<bool, kCameraCount> EnabledCameras(const OperatorSettings& settings) const;

  // --- camera settings, shared with the UI thread
  CameraSetting Camera(int slot) const;
  void SetCamera(int slot, const CameraSetting& setting);
  CameraSettings Cameras() const;

  // --- the parameter file
  // Writes owner's settings and the cameras to `path`, replacing it atomically.
  bool SaveParams(const std::string& path, std::string* error) const;
  // Reads an open file into the settings and cameras, and closes it.
  void LoadParams(std::FILE* file);
  // Opens and reads `path`; false when it could not be opened.
  bool LoadParamsFile(const std::string& path);

  // --- loops
  // Starts the live preview; from now on a take hands the sensors back to a
  // new preview when it ends (also when the operator had closed the window).
  void StartPreview();
  // Clears previewRunning and joins the preview thread; true when a preview was running.
  bool StopPreview();
  bool IsPreviewRunning() const { return previewRunning_; }
  // The preview loop's own consumer (its window); null runs it without one.
  // Set while no preview runs.
  void SetPreview(FrameConsumer* preview) { preview_ = preview; }

  // --- consumers attached for a while, from any thread but a consumer call
  // From the next cycle of whichever loop runs (preview or take) on,
  // `consumer` gets that loop's frame calls, until it is detached or its
  // OnCycle returns false.
  void Attach(FrameConsumer* consumer);
  // Once this returns, no call of `consumer` runs or will run (it waits for
  // a running cycle to end). Not from within a consumer call.
  void Detach(FrameConsumer* consumer);

  // The take directory, copied from the window at each record press.
  void SetOutputDir(const std::string& dir);
  std::string OutputDir() const;

  // Starts a take into OutputDir(). Refused (false, with the reason) while a
  // take runs or when its files cannot be written; waits for a take that the
  // time limit ended and that is still finishing.
  bool StartRecording(std::string* error);
  // The stop button: only in the state Recording (take running, preview
  // stopped); clears recording and joins the loop. True when it stopped one.
  bool StopRecording();
  bool IsRecording() const { return recording_; }
  // Whether the next takes keep every grabbed depth frame (DEPTHn.dat per
  // camera), so they can be processed again later.
  void SetKeepDepth(bool keep) { keepDepth_ = keep; }
  // Ends the next takes after `cycles` cycles (0: no limit).
  void SetTakeCycleLimit(int cycles) { takeCycleLimit_ = cycles; }
  // How the latest finished take ended.
  TakeOutcome LastTake() const;
  // True from StartRecording until its loop has ended.
  bool TakeThreadAlive() const;
  // Whether camera `slot` was lost during the running or the latest take,
  // and from which frame on; readable at any time.
  CameraLoss Loss(int slot) const { return lostCameras_.Loss(slot); }

  // The engine part of closing the window: stops the preview, any take and a
  // take still finishing, so that no worker thread is left; then shuts the
  // sensors down. Idempotent.
  void Close();

  // Takes the copy of the settings that the next grabs work with; the loops
  // do this before every frame. For tools and benchmarks that grab directly.
  void RefreshFrameSettings() { frameSettings_ = TakeFrameSettings(); }

  // --- per-camera work, on a grab thread
  // Fetches one frame of `camera` (waiting a bounded time), converts it,
  // thins, poses and crops it into workClouds and clouds, and hands it to
  // the cycle's consumers. A frame that does not come leaves both clouds
  // empty and reaches no consumer.
  void GrabFrame(int camera, int frameNumber);
  // Thinned cloud into workClouds[camera], posed and cropped into clouds[camera].
  void ProcessCloud(int camera, const pcl::PointCloud<pcl::PointXYZ>& raw);

  // Results of the latest frame; read them only while no loop runs or from
  // the loop between frames.
  pcl::PointCloud<pcl::PointXYZ> workClouds[kCameraCount];
  pcl::PointCloud<pcl::PointXYZ> clouds[kCameraCount];
  bool cameraActive[kCameraCount] = {false, false, false, false};

  // --- calibration picks, made in the preview window (preview thread)
  // First pick: point 0; second: point 1; third: clears; and round again.
  void OnPointPicked(float x, float y, float z);
  PickState Picks() const;

  // --- counters, for status displays and tests
  std::uint64_t GrabCount(int slot) const { return grabCount_[slot]; }
  std::uint64_t MissedFrames(int slot) const { return missedFrames_[slot]; }
  std::uint64_t PreviewCycles() const { return previewCycles_; }
  // Points in the camera's latest final cloud.
  std::uint64_t LastPointCount(int slot) const { return lastPointCount_[slot]; }
  // Sensor frames that never reached the grabs, as gaps in the time stamps
  // show (counted within each loop run).
  std::uint64_t DroppedFrames(int slot) const { return droppedFrames_[slot]; }
  std::uint64_t RecordCycles() const { return recordCycles_; }

 private:
  void OpenSensors(SensorBackend& backend);
  void ShutDownSensors();
  // The sensors that may pace a loop that grabs `cameras`: theirs, or, when
  // it grabs none, every present sensor.
  std::array<INuiSensor*, kCameraCount> PacingSensors(
      const std::array<bool, kCameraCount>& cameras) const;
  FrameSettings TakeFrameSettings() const;
  void SelectActiveCameras(const OperatorSettings& settings);
  void ForgetPreviousStamps();
  // At a loop's start: frames the live sensors queued meanwhile are stale,
  // and some cameras may hold more of them than others.
  void DiscardQueuedFrames();
  void CountDroppedFrames(int camera, std::int64_t stamp);
  // Waits for the camera's next frame: not at all for a lost camera, else
  // at most the frame wait, and, once its frame period is known, no longer
  // than two of its periods after the other grabs of the cycle are done
  // (they would lose frames meanwhile).
  HRESULT FetchFrame(int camera, NuiImageFrame* frame);
  // Forks one grab per active camera, joins them all, then hands the cycle
  // to its consumers: `own` (may be null) and the attached ones. False in
  // `started` when a thread could not be started; the result is false when
  // `own` asked to end the loop.
  bool GrabCycle(FrameConsumer* own, int frameNumber, bool* started);
  // The consumers of the next cycle: `own` first, then the attached ones.
  void BeginCycleConsumers(FrameConsumer* own);
  // Hands the joined cycle to them; detaches the attached ones that are done.
  bool EndCycleConsumers(FrameConsumer* own, int frameNumber);
  void PreviewLoop();
  void RecordLoop();
  void FinishTake(TakeEnd end, int cycles, const std::string& message);
  // The first camera of the take (or the pacing slot) whose recording ran out; -1 if none.
  int EndedInput(int pacingSlot) const;
  // How a take ends when the recording of camera `slot` ran out or broke off.
  void EndOfInput(int slot, TakeEnd* end, std::string* why) const;
  // The slots of the take's cameras.
  std::vector<int> TakeSlots() const;
  // Takes this cycle's grabs into the lost cameras, and stops waiting for a
  // camera lost, or waits for it again once it is back.
  void TrackLostCameras(int frame, class FramePacer& pacer);

  std::unique_ptr<INuiSensor> sensors_[kCameraCount];
  NuiStreamHandle depthStreams_[kCameraCount] = {kNoStream, kNoStream, kNoStream, kNoStream};
  std::string backendName_;
  const EngineTiming timing_;

  SettingsOwner ownSettings_;
  mutable std::mutex camerasMutex_;
  CameraSettings cameras_;
  FrameSettings frameSettings_;  // written by the running loop between frames

  FrameConsumer* preview_ = nullptr;
  std::mutex previewControl_;  // orders starts and stops of the preview thread
  boost::thread previewThread_;
  std::atomic<bool> previewRunning_{false};

  std::mutex recordControl_;   // orders starts, stops and joins of the recording thread
  boost::thread recordThread_;
  std::atomic<bool> recording_{false};
  std::atomic<bool> takeRunning_{false};
  std::atomic<bool> recordLoopAlive_{false};  // the loop holds the sensors: the state Recording
  mutable std::mutex takeMutex_;
  std::string outputDir_;
  TakeOutcome lastTake_;

  TakeRecording take_;
  std::array<bool, kCameraCount> takeCameras_{};  // the take's camera set
  LostCameras lostCameras_;
  pcl::PointCloud<pcl::PointXYZ> rawClouds_[kCameraCount];      // reused per grab
  pcl::PointCloud<pcl::PointXYZ> scratchClouds_[kCameraCount];  // reused per grab

  std::atomic<bool> closing_{false};
  std::atomic<bool> previewWanted_{false};
  std::atomic<int> takeCycleLimit_{0};
  std::atomic<bool> keepDepth_{false};
  mutable std::mutex picksMutex_;
  PickState picks_;
  bool closed_ = false;

  std::atomic<std::uint64_t> grabCount_[kCameraCount] = {};
  std::atomic<std::uint64_t> missedFrames_[kCameraCount] = {};
  std::atomic<std::uint64_t> lastPointCount_[kCameraCount] = {};
  std::atomic<std::uint64_t> droppedFrames_[kCameraCount] = {};
  std::int64_t previousStamp_[kCameraCount] = {-1, -1, -1, -1};  // per loop run, grab thread only
  double framePeriodMs_[kCameraCount] = {0, 0, 0, 0};  // as its time stamps show; 0: not known yet
  // This frame's outcome per camera, written by its grab, read after the join.
  GrabResult grabResults_[kCameraCount] = {};
  // Cameras the running loop does not wait for (lost): their grabs only poll.
  bool pollOnly_[kCameraCount] = {false, false, false, false};
  int grabsInCycle_ = 0;                // grabs the running cycle forked
  std::atomic<int> grabsRunning_{0};    // of those, the ones not yet done
  std::atomic<std::uint64_t> previewCycles_{0};
  std::atomic<std::uint64_t> recordCycles_{0};

  // Consumers attached for a while, and the running cycle's consumers: the
  // list is copied under the lock before the fork, so the grabs read it
  // without one; a detach waits until the cycle that holds a copy is over.
  std::mutex consumersMutex_;
  std::condition_variable cycleOver_;
  std::vector<FrameConsumer*> attached_;
  std::vector<FrameConsumer*> cycleConsumers_;
  bool cycleHoldsConsumers_ = false;
};

// The elapsed-time text of a take: "%2d min %2d sec".
std::string ElapsedText(std::int64_t elapsedMs);

}  // namespace kestrova
