#include "capture/QueuedSensor.h"
#include "capture/ThreadName.h"

#include "capture/Event.h"

namespace kestrova {

QueuedSensor::~QueuedSensor() { NuiShutdown(); }

HRESULT QueuedSensor::OpenQueue(std::uint32_t frameLimit, FrameQueue::Overflow overflow,
                                bool signalWaitingFrames, NuiStreamHandle* stream,
                                const DepthFrameFormat& format) {
  if (stream == nullptr) return E_INVALIDARG;
  if (queue_) return E_FAIL;  // one depth stream per sensor
  queue_ = std::make_unique<FrameQueue>(static_cast<int>(frameLimit), overflow, format);
  signalWaitingFrames_ = signalWaitingFrames;
  producer_ = std::thread([this] {
    NameThisThread("kv-sensor");
    Produce();
  });
  *stream = index_;
  return S_OK;
}

HRESULT QueuedSensor::NuiSetFrameEndEvent(ManualResetEvent* event, std::uint32_t) {
  std::lock_guard<std::mutex> lock(eventMutex_);
  frameEndEvent_ = event;
  if (signalWaitingFrames_ && frameEndEvent_ && queue_ && queue_->Size() > 0) frameEndEvent_->Set();
  return S_OK;
}

HRESULT QueuedSensor::NuiImageStreamGetNextFrame(NuiStreamHandle stream, std::uint32_t waitMs,
                                                 NuiImageFrame* frame) {
  if (!queue_ || stream != index_) return E_INVALIDARG;
  HRESULT before = BeforeFetch();
  if (!Succeeded(before)) return before;
  HRESULT result = queue_->Pop(waitMs, frame);
  if (Succeeded(result)) {
    HRESULT taken = OnFrameTaken();
    if (!Succeeded(taken)) {
      queue_->Release(frame);
      result = taken;
    }
  }
  if (signalWaitingFrames_ && Succeeded(result) && queue_->Size() > 0) SignalFrameEnd();
  return result;
}

HRESULT QueuedSensor::NuiImageStreamReleaseFrame(NuiStreamHandle stream, NuiImageFrame* frame) {
  if (!queue_ || stream != index_) return E_INVALIDARG;
  return queue_->Release(frame);
}

void QueuedSensor::NuiImageStreamDiscardQueued(NuiStreamHandle) {
  if (queue_) queue_->DiscardDelivered();
}

DepthFrameFormat QueuedSensor::NuiDepthFrameFormat() const {
  return queue_ ? queue_->Format() : DepthFrameFormat();
}

bool QueuedSensor::NuiKeepsEveryFrame() const { return queue_ && queue_->KeepsEveryFrame(); }

void QueuedSensor::NuiShutdown() {
  {
    std::lock_guard<std::mutex> lock(stopMutex_);
    stopping_ = true;
  }
  stopSignal_.notify_all();
  if (queue_) queue_->Stop();
  if (producer_.joinable()) producer_.join();
  NuiSetFrameEndEvent(nullptr, 0);
}

bool QueuedSensor::SleepUntil(std::chrono::steady_clock::time_point at) {
  std::unique_lock<std::mutex> lock(stopMutex_);
  return !stopSignal_.wait_until(lock, at, [this] { return stopping_; });
}

void QueuedSensor::WaitForShutdown() {
  std::unique_lock<std::mutex> lock(stopMutex_);
  stopSignal_.wait(lock, [this] { return stopping_; });
}

void QueuedSensor::SignalFrameEnd() {
  std::lock_guard<std::mutex> lock(eventMutex_);
  if (frameEndEvent_) frameEndEvent_->Set();
}

}  // namespace kestrova
