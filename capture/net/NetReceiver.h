// The recorder's side of the depth-frame network: one participant that
// learns of stations from their announcements and hands each received frame
// to the sink subscribed to its camera. One thread takes the samples; a
// sink's Deliver runs on it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "capture/net/FrameSample.h"
#include "capture/net/NetDomain.h"

namespace kestrova::net {

struct RemoteCamera {
  int camera = 0;  // 1 to 4, as the station numbers it
  std::string serial;
};

struct StationInfo {
  std::string name;
  std::string host;
  std::uint64_t run = 0;
  std::vector<RemoteCamera> cameras;
};

// Receives one camera's frames.
class FrameSink {
 public:
  virtual ~FrameSink() = default;
  // A checked sample of the camera; a fault result drops it.
  virtual SampleFault Deliver(const kestrova_net_DepthFrameSample& sample) = 0;
  // The camera's station is gone (ended, killed or cut off).
  virtual void StationGone() = 0;
};

class NetReceiver {
 public:
  NetReceiver() = default;
  ~NetReceiver();
  NetReceiver(const NetReceiver&) = delete;
  NetReceiver& operator=(const NetReceiver&) = delete;

  // Joins `domain` and starts taking samples; false with the reason.
  bool Start(int domain, std::string* error);
  void Stop();
  int Domain() const { return domain_.Domain(); }

  // The stations announced and alive, by name. A name announced by more
  // than one running station is in DuplicateNames, with the hosts.
  std::vector<StationInfo> Stations() const;
  std::map<std::string, std::vector<std::string>> DuplicateNames() const;

  // Waits at most `timeoutMs` until `done` holds for the stations known.
  bool WaitForStations(const std::function<bool(const std::vector<StationInfo>&)>& done,
                       int timeoutMs) const;

  void Subscribe(const std::string& station, int camera, FrameSink* sink);
  // Once this returns, the sink is called no more.
  void Unsubscribe(FrameSink* sink);

  // Samples dropped for a fault, and samples of no subscribed camera.
  std::uint64_t DroppedSamples() const { return dropped_; }

 private:
  using CameraKey = std::pair<std::string, int>;

  void Run();
  void TakeAnnouncements();
  void TakeFrames();
  void StationEnded(const std::string& name, std::uint64_t run);

  NetDomain domain_;
  dds_entity_t frameReader_ = 0;
  dds_entity_t announcementReader_ = 0;
  dds_entity_t waitset_ = 0;
  dds_entity_t stopCondition_ = 0;
  std::thread thread_;

  mutable std::mutex stationsMutex_;
  mutable std::condition_variable stationsChanged_;
  std::map<std::string, std::map<std::uint64_t, StationInfo>> stations_;  // name, run

  std::mutex sinksMutex_;
  std::map<CameraKey, FrameSink*> sinks_;
  std::atomic<std::uint64_t> dropped_{0};
};

}  // namespace kestrova::net
