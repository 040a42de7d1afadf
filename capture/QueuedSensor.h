// The part that simulated and replayed sensors share: a producer thread that
// renders or reads frames into a FrameQueue, the frame-end event it signals,
// and the runtime's fetch, release and shutdown calls over that queue.
// A subclass supplies Produce() and the stream's open checks.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "capture/FrameQueue.h"
#include "capture/NuiSensor.h"

namespace kestrova {

class QueuedSensor : public INuiSensor {
 public:
  ~QueuedSensor() override;

  HRESULT NuiSetFrameEndEvent(ManualResetEvent* event, std::uint32_t flags) override;
  HRESULT NuiImageStreamGetNextFrame(NuiStreamHandle stream, std::uint32_t waitMs,
                                     NuiImageFrame* frame) override;
  HRESULT NuiImageStreamReleaseFrame(NuiStreamHandle stream, NuiImageFrame* frame) override;
  // Discards the delivered frames when the queue drops its oldest when late.
  void NuiImageStreamDiscardQueued(NuiStreamHandle stream) override;
  // True when the queue waits for the consumer instead of dropping.
  bool NuiKeepsEveryFrame() const override;
  // Stops and joins the producer. A subclass's destructor must call it, so
  // that the producer never outlives the subclass's members.
  void NuiShutdown() override;

  // The open stream's frames; the default before it is open.
  DepthFrameFormat NuiDepthFrameFormat() const override;

  std::uint64_t FramesDropped() const { return queue_ ? queue_->Dropped() : 0; }

 protected:
  explicit QueuedSensor(int index) : index_(index) {}

  // Opens the stream: the queue of frames of `format`, then the producer
  // thread running Produce(). `signalWaitingFrames`: a sensor that makes a
  // frame only when one was taken must wake its listener while frames wait,
  // or nobody takes one.
  HRESULT OpenQueue(std::uint32_t frameLimit, FrameQueue::Overflow overflow,
                    bool signalWaitingFrames, NuiStreamHandle* stream,
                    const DepthFrameFormat& format = DepthFrameFormat());

  // The producer thread's body; returns when it is done or shut down.
  virtual void Produce() = 0;
  // Called before every fetch; a failure result fails the fetch.
  virtual HRESULT BeforeFetch() { return S_OK; }
  // Called for every frame a fetch takes; a failure result fails the fetch
  // and the frame is lost.
  virtual HRESULT OnFrameTaken() { return S_OK; }

  // For the producer: waits until `at`; false when shut down meanwhile.
  bool SleepUntil(std::chrono::steady_clock::time_point at);
  // For the producer: waits until shut down.
  void WaitForShutdown();
  void SignalFrameEnd();
  FrameQueue& Queue() { return *queue_; }
  const FrameQueue& Queue() const { return *queue_; }
  bool HasQueue() const { return queue_ != nullptr; }

  const int index_;

 private:
  std::unique_ptr<FrameQueue> queue_;
  bool signalWaitingFrames_ = false;
  std::thread producer_;
  std::mutex stopMutex_;
  std::condition_variable stopSignal_;
  bool stopping_ = false;
  std::mutex eventMutex_;
  ManualResetEvent* frameEndEvent_ = nullptr;
};

}  // namespace kestrova
