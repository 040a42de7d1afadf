#include "capture/FrameQueue.h"

#include <algorithm>
#include <chrono>

namespace kestrova {

FrameQueue::FrameQueue(int frameLimit, Overflow overflow, const DepthFrameFormat& format)
    : frameLimit_(std::max(1, frameLimit)),
      bufferLimit_(std::max(1, frameLimit) + 2),  // the queue, one held, one being rendered
      overflow_(overflow),
      format_(format) {}

std::unique_ptr<NuiFrameTexture> FrameQueue::AcquireBuffer() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (stopped_) return nullptr;
    if (!free_.empty()) {
      auto buffer = std::move(free_.back());
      free_.pop_back();
      return buffer;
    }
    if (allocated_ < bufferLimit_) {
      ++allocated_;
      return std::make_unique<NuiFrameTexture>(format_);
    }
    if (overflow_ == Overflow::DropOldest) {
      if (ready_.empty()) return nullptr;
      auto buffer = std::move(ready_.front().texture);
      ready_.pop_front();
      ++dropped_;
      return buffer;
    }
    changed_.wait(lock);
  }
}

bool FrameQueue::Publish(std::unique_ptr<NuiFrameTexture> texture, NuiTimeStamp stamp,
                         std::uint32_t frameNumber) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (overflow_ == Overflow::Wait) {
    changed_.wait(lock, [this] { return stopped_ || static_cast<int>(ready_.size()) < frameLimit_; });
  }
  if (stopped_) {
    free_.push_back(std::move(texture));
    return false;
  }
  while (static_cast<int>(ready_.size()) >= frameLimit_) {
    free_.push_back(std::move(ready_.front().texture));
    ready_.pop_front();
    ++dropped_;
  }
  ready_.push_back({std::move(texture), stamp, frameNumber});
  lock.unlock();
  changed_.notify_all();
  return true;
}

HRESULT FrameQueue::Pop(std::uint32_t waitMs, NuiImageFrame* frame) {
  if (frame == nullptr) return E_INVALIDARG;
  std::unique_lock<std::mutex> lock(mutex_);
  auto available = [this] { return stopped_ || !ready_.empty(); };
  if (waitMs == NUI_INFINITE) {
    changed_.wait(lock, available);
  } else if (!changed_.wait_for(lock, std::chrono::milliseconds(waitMs), available)) {
    return E_NUI_FRAME_NO_DATA;
  }
  if (ready_.empty()) return E_NUI_DEVICE_NOT_CONNECTED;  // stopped
  Delivered next = std::move(ready_.front());
  ready_.pop_front();
  frame->liTimeStamp = next.stamp;
  frame->dwFrameNumber = next.frameNumber;
  frame->pFrameTexture = next.texture.get();
  held_.push_back(std::move(next.texture));
  lock.unlock();
  changed_.notify_all();
  return S_OK;
}

HRESULT FrameQueue::Release(NuiImageFrame* frame) {
  if (frame == nullptr || frame->pFrameTexture == nullptr) return E_INVALIDARG;
  std::unique_lock<std::mutex> lock(mutex_);
  auto it = std::find_if(held_.begin(), held_.end(),
                         [frame](const auto& held) { return held.get() == frame->pFrameTexture; });
  if (it == held_.end()) return E_INVALIDARG;
  free_.push_back(std::move(*it));
  held_.erase(it);
  frame->pFrameTexture = nullptr;
  lock.unlock();
  changed_.notify_all();
  return S_OK;
}

int FrameQueue::DiscardDelivered() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (overflow_ != Overflow::DropOldest) return 0;
  const int discarded = static_cast<int>(ready_.size());
  for (Delivered& frame : ready_) free_.push_back(std::move(frame.texture));
  ready_.clear();
  dropped_ += static_cast<std::uint64_t>(discarded);
  changed_.notify_all();
  return discarded;
}

void FrameQueue::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopped_ = true;
  }
  changed_.notify_all();
}

int FrameQueue::Size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(ready_.size());
}

std::uint64_t FrameQueue::Dropped() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return dropped_;
}

}  // namespace kestrova
