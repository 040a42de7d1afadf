// A depth camera on another machine, reached through its station: a sensor
// like any other. Its frames arrive from the network into the same bounded
// queue a live camera fills (the oldest frame goes when the consumer falls
// behind); its frame-end event is signalled as each frame arrives; its time
// stamps and frame numbers are the remote sensor's own. Once its station is
// gone and the frames that came before are taken, every fetch answers
// E_NUI_DEVICE_NOT_CONNECTED.
#pragma once

#include <array>
#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "capture/QueuedSensor.h"
#include "capture/net/NetReceiver.h"

namespace kestrova::net {

class NetSensor : public QueuedSensor, public FrameSink {
 public:
  NetSensor(int index, std::shared_ptr<NetReceiver> receiver, std::string station, int camera,
            std::string serial);
  ~NetSensor() override;

  HRESULT NuiInitialize(std::uint32_t flags) override;
  HRESULT NuiImageStreamOpen(int imageType, int resolution, std::uint32_t streamFlags,
                             std::uint32_t frameLimit, ManualResetEvent* nextFrameEvent,
                             NuiStreamHandle* stream) override;
  void NuiShutdown() override;
  // "STATION/serial".
  std::string NuiUniqueId() const override;

  SampleFault Deliver(const kestrova_net_DepthFrameSample& sample) override;
  void StationGone() override;

 protected:
  void Produce() override;
  HRESULT BeforeFetch() override;

 private:
  const std::shared_ptr<NetReceiver> receiver_;
  const std::string station_;
  const int camera_;
  const std::string serial_;
  DepthPixelDecoder decoder_;
  std::vector<std::uint16_t> decoded_;
  std::atomic<bool> gone_{false};
  std::atomic<bool> subscribed_{false};
};

// What follows "net" in a --sensors text.
struct NetSpec {
  int domain = kDefaultDomain;
  // No camera listed: the first four found, by station name and camera.
  bool automatic = true;
  // Slot by slot: station and camera number, or nothing for an empty slot.
  std::vector<std::optional<std::pair<std::string, int>>> slots;
};

// Parses "" (after "net") or ":ITEM,ITEM,..." with items STATION/C, - and
// domain=N; false with the reason.
bool ParseNetSpec(const std::string& text, NetSpec* spec, std::string* error);

// True for a name a station may have: 1 to 64 printable characters, none
// of them a space, '/' or ','.
bool ValidStationName(const std::string& name);

constexpr int kDiscoveryWaitMs = 2000;  // how long `net` alone looks for cameras
constexpr int kStationWaitMs = 3000;    // how long a listed station may take to answer

// The remote cameras of `spec`, found on the network; nullptr with a reason
// naming the station that is missing or claimed twice.
std::unique_ptr<SensorBackend> MakeNetBackend(const NetSpec& spec, std::string* error);

}  // namespace kestrova::net
