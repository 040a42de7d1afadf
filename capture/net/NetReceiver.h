// The recorder's side of the depth-frame network: one participant that
// learns of station runs from their announcements and hands each received
// frame to the sink of its camera. One thread takes the samples; a sink's
// calls run on it.
//
// One source per camera: each sink is bound to the station run chosen for
// it, and gets the frames that run's own participant wrote, nothing else.
// Frames under its station's name and camera number from any other writer
// are dropped, counted and reported. A sink's run is gone while the run's
// frame writer is not alive (DDS liveliness: ended, killed or cut off), and
// back when it is alive again. When the bound run is gone and a new run of
// that station announces the camera, the camera is bound to the new run (a
// resumed camera) and the operator is told its identity; another run of the
// name appearing while the bound one lives is ignored and reported.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "capture/net/DdsReading.h"
#include "capture/net/FrameSample.h"
#include "capture/net/NetDomain.h"
#include "capture/net/StationDirectory.h"

namespace kestrova::net {

// Receives one camera's frames.
class FrameSink {
 public:
  virtual ~FrameSink() = default;
  // A sample of the camera from its bound run; a fault result drops it.
  virtual SampleFault Deliver(const kestrova_net_DepthFrameSample& sample) = 0;
  // The camera's station run is gone (ended, killed or cut off), or the
  // station lost the camera.
  virtual void StationGone() = 0;
  // It can deliver again: its run is back, or a new run took its place.
  virtual void StationBack() = 0;
};

class NetReceiver {
 public:
  NetReceiver() = default;
  ~NetReceiver();
  NetReceiver(const NetReceiver&) = delete;
  NetReceiver& operator=(const NetReceiver&) = delete;

  // Joins `domain` (under DDS Security with the files in `securityDir`
  // unless it is empty) and starts taking samples; false with the reason.
  bool Start(int domain, const std::string& securityDir, std::string* error);
  void Stop();
  int Domain() const { return domain_.Domain(); }
  bool Secure() const { return domain_.Secure(); }

  // The station runs alive now.
  std::vector<StationInfo> Stations() const;
  // Waits at most `timeoutMs` until `done` holds for the runs alive.
  bool WaitForStations(const std::function<bool(const std::vector<StationInfo>&)>& done,
                       int timeoutMs) const;
  // Waits until every station discovered has announced itself and nothing
  // changed for `quietMs`, at most `limitMs`.
  void WaitUntilSettled(int quietMs, int limitMs) const;

  // Binds camera `camera` of station run `station` to `sink`, which is
  // camera `slot` + 1 of the recorder.
  void Subscribe(const StationInfo& station, int camera, int slot, FrameSink* sink);
  // Once this returns, the sink is called no more.
  void Unsubscribe(FrameSink* sink);

  // The frame types other than this build's that stations on the domain
  // send (seen from their writers, whose samples this build cannot read).
  std::vector<int> OtherFrameTypes() const;

  // Samples dropped for a fault, and samples of no subscribed camera.
  std::uint64_t DroppedSamples() const { return dropped_; }
  // Samples under a subscribed camera's name from a writer other than its run.
  std::uint64_t ForeignSamples() const { return foreign_; }

  // Lines for the operator since the last call: other sources ignored,
  // stations gone, back or resumed, second runs of a name.
  std::vector<std::string> TakeNotices();
  // After a take: one line per camera whose other sources were ignored.
  std::vector<std::string> Summary() const;

 private:
  using CameraKey = std::pair<std::string, int>;
  struct Binding {
    FrameSink* sink = nullptr;
    int slot = 0;
    StationInfo run;            // the run whose frames the sink gets
    bool runGone = false;       // that run is not alive
    bool cameraGone = false;    // that run's station lost the camera
    std::uint64_t foreign = 0;  // samples from other writers, dropped
    std::set<ParticipantId> reportedSources;
    std::set<ParticipantId> refusedRuns;
  };

  void Run();
  bool ApplyFrameWriterLiveliness();
  void ReviewBindings();
  void ReviewBinding(const CameraKey& key, Binding& binding, const std::vector<StationInfo>& runs);
  void TakeFrames();
  bool Writer(dds_instance_handle_t publication, ParticipantId* participant);
  void Notice(const std::string& text);

  NetDomain domain_;
  StationDirectory directory_;
  dds_entity_t frameReader_ = 0;
  dds_entity_t publications_ = 0;  // every writer discovery knows of
  dds_entity_t waitset_ = 0;
  dds_entity_t stopCondition_ = 0;
  std::thread thread_;

  mutable std::mutex stationsMutex_;
  mutable std::condition_variable stationsChanged_;
  std::uint64_t stationChanges_ = 0;

  LivelinessChanges livelinessChanges_;  // of the frame writers
  mutable std::mutex bindingsMutex_;  // held while a sink is called
  std::map<CameraKey, Binding> bindings_;
  std::set<ParticipantId> reportedNewcomers_;
  std::map<dds_instance_handle_t, ParticipantId> writers_;  // frame writers seen

  mutable std::mutex noticesMutex_;
  std::vector<std::string> notices_;
  std::atomic<std::uint64_t> dropped_{0};
  std::atomic<std::uint64_t> foreign_{0};
};

}  // namespace kestrova::net
