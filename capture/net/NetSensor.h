// A depth camera on another machine, reached through its station: a sensor
// like any other. Its frames arrive from the network into the same bounded
// queue a live camera fills (the oldest frame goes when the consumer falls
// behind); its frame-end event is signalled as each frame arrives; its time
// stamps and frame numbers are the remote sensor's own. It is bound to the
// station run chosen when the cameras were found: frames of any other
// source never reach it. Once that run is gone and the frames that came
// before are taken, every fetch answers E_NUI_DEVICE_NOT_CONNECTED, until
// the run comes back or a new run of the station takes its place. Its
// frames are of the size and lens the station announced for the camera; a
// sample of other frames is dropped.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "capture/QueuedSensor.h"
#include "capture/net/NetReceiver.h"

namespace kestrova::net {

class NetSensor : public QueuedSensor, public FrameSink {
 public:
  NetSensor(int index, std::shared_ptr<NetReceiver> receiver, StationInfo station, int camera,
            std::string serial, const DepthFrameFormat& format);
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
  void StationBack() override;

 protected:
  void Produce() override;
  HRESULT BeforeFetch() override;

 private:
  const std::shared_ptr<NetReceiver> receiver_;
  const StationInfo station_;
  const int camera_;
  const std::string serial_;
  const DepthFrameFormat format_;
  DepthPixelDecoder decoder_;
  std::vector<std::uint16_t> decoded_;
  std::atomic<bool> gone_{false};
  std::atomic<bool> subscribed_{false};
};

}  // namespace kestrova::net
