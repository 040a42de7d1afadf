#include "capture/net/NetSensor.h"

#include <cstring>

namespace kestrova::net {

NetSensor::NetSensor(int index, std::shared_ptr<NetReceiver> receiver, StationInfo station,
                     int camera, std::string serial, const DepthFrameFormat& format)
    : QueuedSensor(index),
      receiver_(std::move(receiver)),
      station_(std::move(station)),
      camera_(camera),
      serial_(std::move(serial)),
      format_(format),
      decoded_(format.BufferPixels()) {}

NetSensor::~NetSensor() { NuiShutdown(); }

HRESULT NetSensor::NuiInitialize(std::uint32_t flags) {
  return (flags & NUI_INITIALIZE_FLAG_USES_DEPTH) ? S_OK : E_INVALIDARG;
}

HRESULT NetSensor::NuiImageStreamOpen(int imageType, int resolution, std::uint32_t,
                                      std::uint32_t frameLimit, ManualResetEvent*,
                                      NuiStreamHandle* stream) {
  if (imageType != NUI_IMAGE_TYPE_DEPTH || resolution != NUI_IMAGE_RESOLUTION_320x240)
    return E_INVALIDARG;
  HRESULT result = OpenQueue(frameLimit, FrameQueue::Overflow::DropOldest, false, stream, format_);
  if (Succeeded(result)) {
    receiver_->Subscribe(station_, camera_, index_, this);
    subscribed_ = true;
  }
  return result;
}

void NetSensor::NuiShutdown() {
  // First no more deliveries, then the queue may go.
  if (subscribed_.exchange(false)) receiver_->Unsubscribe(this);
  QueuedSensor::NuiShutdown();
}

std::string NetSensor::NuiUniqueId() const {
  return station_.name + "/" + (serial_.empty() ? "cam" + std::to_string(camera_) : serial_);
}

SampleFault NetSensor::Deliver(const kestrova_net_DepthFrameSample& sample) {
  // Decoded aside first: a bad sample must not cost a good frame its buffer.
  SampleFault fault = DecodeFrameSample(sample, format_, decoder_, decoded_.data());
  if (fault != SampleFault::None) return fault;
  if (!HasQueue()) return SampleFault::None;
  std::unique_ptr<NuiFrameTexture> buffer = Queue().AcquireBuffer();
  if (!buffer) return SampleFault::None;  // every buffer held, or shut down: skipped
  std::memcpy(buffer->pixels.data(), decoded_.data(), decoded_.size() * sizeof(std::uint16_t));
  NuiTimeStamp stamp;
  stamp.QuadPart = sample.time_stamp;
  if (Queue().Publish(std::move(buffer), stamp, sample.frame_number)) SignalFrameEnd();
  return SampleFault::None;
}

void NetSensor::StationGone() {
  gone_ = true;
  // Wakes a loop waiting for this camera, so that it learns of the loss.
  SignalFrameEnd();
}

void NetSensor::StationBack() { gone_ = false; }

void NetSensor::Produce() { WaitForShutdown(); }

HRESULT NetSensor::BeforeFetch() {
  return gone_ && Queue().Size() == 0 ? E_NUI_DEVICE_NOT_CONNECTED : S_OK;
}

}  // namespace kestrova::net
