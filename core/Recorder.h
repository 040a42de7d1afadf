// CRecorder: the engine. One per run. It owns the sensors, each camera's
// acquisition and worker, the per-camera settings, the point clouds, the
// take and the loops, and wires them together.
//
// Thread model. Each camera with a sensor has an acquisition thread
// (capture/CameraAcquisition) that drains its sensor all the time, and a
// worker thread (CameraWorkers) that does its part of every cycle; both
// live as long as the engine. At most one loop runs: the preview's or a
// take's, each on a thread of its own. A loop puts every cycle together
// from the acquisitions' buffers (CycleAssembler), takes one consistent
// copy of the settings, hands each camera's frame to its worker
// (conversion, thinning, pose, crop, the consumers' per-camera calls),
// waits for them, then hands the whole cycle to its consumers. Two atomic
// flags, previewRunning and recording, start and stop the loops; the joins
// of the loop threads order every hand-over between preview and take.
#pragma once

#include <array>
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

#include "capture/CameraAcquisition.h"
#include "capture/DepthPipeline.h"
#include "capture/NuiSensor.h"
#include "core/CameraWorkers.h"
#include "core/CycleAssembler.h"
#include "core/CycleStatistics.h"
#include "core/FrameConsumer.h"
#include "core/LostCameras.h"
#include "core/TakeRecording.h"
#include "settings/ParamsFile.h"
#include "settings/Settings.h"
#include "settings/SettingsOwner.h"

namespace kestrova {

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
  WriteFailed
};

struct TakeOutcome {
  TakeEnd end = TakeEnd::None;
  int cycles = 0;
  std::string message;  // why, for the operator; empty for a plain stop
};

// Bounds of the engine's waits.
struct EngineTiming {
  // A late camera is waited for at most this long past a cycle's moment.
  std::chrono::milliseconds latencyBudget{200};
  // The same for cameras that keep every frame (replays).
  std::chrono::milliseconds frameWait{500};
  std::chrono::milliseconds stallLimit{2000};    // no camera delivered this long: a stalled sensor
  std::chrono::milliseconds nominalPeriod{33};   // pacing without any sensor
};

class CRecorder {
 public:
  // Sets the camera defaults, then opens sensors 0..3 from `backend` and
  // starts acquiring from each.
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
  // The camera's acquisition (its buffer and counters); null without a sensor.
  const CameraAcquisition* Acquisition(int slot) const { return acquisitions_[slot].get(); }
  // The frames each camera delivers (its size and lens); the default
  // frame for a camera without a sensor.
  CameraFormats FrameFormats() const;
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
  // How long the running or the latest take's frames took from their
  // arrival to their records in the files.
  const LatencyHistogram& TakeLatency() const { return take_.Latency(); }

  // The engine part of closing the window: stops the preview, any take and a
  // take still finishing, so that no worker thread is left; then stops the
  // acquisitions and shuts the sensors down. Idempotent.
  void Close();

  // Results of the latest cycle; read them only while no loop runs or from
  // the loop between cycles (a consumer's OnCycle).
  pcl::PointCloud<pcl::PointXYZ> workClouds[kCameraCount];  // thinned, camera axes
  pcl::PointCloud<pcl::PointXYZ> clouds[kCameraCount];      // posed and cropped
  bool cameraActive[kCameraCount] = {false, false, false, false};

  // --- how the cycles come out, for status displays and tests
  // The running loop's cycles: spread, missed and dropped frames per camera.
  const CycleStatistics& Statistics() const { return statistics_; }
  // Frames each camera's worker processed, since the start.
  std::uint64_t GrabCount(int slot) const { return grabCount_[slot]; }
  std::uint64_t PreviewCycles() const { return previewCycles_; }
  std::uint64_t RecordCycles() const { return recordCycles_; }
  // Points in the camera's latest final cloud.
  std::uint64_t LastPointCount(int slot) const { return lastPointCount_[slot]; }
  // Threads the engine started for its workers (one per camera slot, once).
  int WorkerThreadsStarted() const { return workers_.ThreadsStarted(); }

 private:
  void OpenSensors(SensorBackend& backend);
  void StopAcquisitions();
  void ShutDownSensors();
  CycleAssembler::Acquisitions AcquisitionPointers() const;
  AssemblerTiming AssemblyTiming() const;
  FrameSettings TakeFrameSettings() const;
  void SelectActiveCameras(const std::array<bool, kCameraCount>& cameras);
  // One cycle: each delivered frame to its camera's worker, the others'
  // clouds emptied, then the whole cycle to the consumers: `own` (may be
  // null) and the attached ones. False when `own` asked to end the loop.
  bool RunCycle(FrameConsumer* own, int frameNumber);
  // Camera `slot`'s part of the running cycle, on its worker: its frame
  // through the pipeline into workClouds and clouds, then to the consumers.
  // It touches only that camera's sensor frame, clouds and files.
  void GrabFrame(int slot);
  // The consumers of the next cycle: `own` first, then the attached ones.
  void BeginCycleConsumers(FrameConsumer* own);
  // Hands the finished cycle to them; detaches the attached ones that are done.
  bool EndCycleConsumers(FrameConsumer* own, int frameNumber);
  void PreviewLoop();
  void RecordLoop();
  void FinishTake(TakeEnd end, int cycles, const std::string& message);
  // How a take ends when the recording of camera `slot` ran out or broke off.
  void EndOfInput(int slot, TakeEnd* end, std::string* why) const;
  // The slots of the take's cameras.
  std::vector<int> TakeSlots() const;
  // Takes this cycle's results into `lost`, and tells the assembler which
  // cameras are lost now (not waited for) or back.
  void TrackLostCameras(LostCameras& lost, int frame, CycleAssembler& assembler);

  std::unique_ptr<INuiSensor> sensors_[kCameraCount];
  NuiStreamHandle depthStreams_[kCameraCount] = {kNoStream, kNoStream, kNoStream, kNoStream};
  std::unique_ptr<CameraAcquisition> acquisitions_[kCameraCount];
  std::string backendName_;
  const EngineTiming timing_;

  SettingsOwner ownSettings_;
  mutable std::mutex camerasMutex_;
  CameraSettings cameras_;
  FrameSettings frameSettings_;  // written by the running loop between cycles

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

  // The running cycle, filled by the loop; each worker reads its own camera's frame.
  AssembledCycle cycle_;
  CameraWorkers workers_;
  DepthPipeline pipelines_[kCameraCount];  // each camera's, its buffers reused per frame
  int cycleFrameNumber_ = 0;  // the running cycle's, for the workers
  CycleStatistics statistics_;

  std::atomic<bool> closing_{false};
  std::atomic<bool> previewWanted_{false};
  std::atomic<int> takeCycleLimit_{0};
  std::atomic<bool> keepDepth_{false};
  bool closed_ = false;

  std::atomic<std::uint64_t> grabCount_[kCameraCount] = {};
  std::atomic<std::uint64_t> lastPointCount_[kCameraCount] = {};
  std::atomic<std::uint64_t> previewCycles_{0};
  std::atomic<std::uint64_t> recordCycles_{0};

  // Consumers attached for a while, and the running cycle's consumers: the
  // list is copied under the lock before the workers start, so they read it
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
