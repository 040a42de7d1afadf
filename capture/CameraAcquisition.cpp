#include "capture/CameraAcquisition.h"
#include "capture/ThreadName.h"

#include <algorithm>
#include <cstring>

#include "capture/Event.h"

namespace kestrova {

namespace {
// A fetch waits this long at most, so a stop is seen soon.
constexpr std::uint32_t kFetchSliceMs = 10;
constexpr auto kGoneRetry = std::chrono::milliseconds(10);
// Frame periods outside these bounds are not believed (hostile or broken stamps).
constexpr double kShortestPeriodMs = 1, kLongestPeriodMs = 1000;
}  // namespace

CameraAcquisition::CameraAcquisition(INuiSensor& sensor, NuiStreamHandle stream)
    : sensor_(sensor),
      stream_(stream),
      keepsEveryFrame_(sensor.NuiKeepsEveryFrame()),
      format_(PackedFormat(sensor.NuiDepthFrameFormat().width, sensor.NuiDepthFrameFormat().height,
                           sensor.NuiDepthFrameFormat().lens)) {
  thread_ = std::thread(&CameraAcquisition::Run, this);
}

CameraAcquisition::~CameraAcquisition() { Stop(); }

void CameraAcquisition::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  room_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void CameraAcquisition::SetFrameEvent(ManualResetEvent* event) {
  std::lock_guard<std::mutex> lock(eventMutex_);
  frameEvent_ = event;
}

void CameraAcquisition::Notify() {
  std::lock_guard<std::mutex> lock(eventMutex_);
  if (frameEvent_) frameEvent_->Set();
}

bool CameraAcquisition::Full() const { return count_ >= capacity_; }

void CameraAcquisition::Run() {
  NameThisThread("kv-acquire");
  while (!stopping_) {
    if (keepsEveryFrame_) {
      // Nothing of such a camera is dropped: wait for room.
      std::unique_lock<std::mutex> lock(mutex_);
      if (Full()) {
        room_.wait_for(lock, std::chrono::milliseconds(kFetchSliceMs));
        continue;
      }
    }
    NuiImageFrame frame;
    const HRESULT fetched = sensor_.NuiImageStreamGetNextFrame(stream_, kFetchSliceMs, &frame);
    if (fetched == E_NUI_FRAME_NO_DATA) {
      if (sensor_.NuiStreamEnded()) {
        bool changed;
        {
          std::lock_guard<std::mutex> lock(mutex_);
          changed = !ended_;
          ended_ = true;
        }
        if (changed) Notify();
      }
      continue;
    }
    if (fetched == E_NUI_DEVICE_NOT_CONNECTED) {
      std::unique_lock<std::mutex> lock(mutex_);
      const bool changed = !deviceGone_;
      deviceGone_ = true;
      lock.unlock();
      if (changed) Notify();
      lock.lock();
      room_.wait_for(lock, kGoneRetry, [this] { return stopping_.load(); });
      continue;
    }
    if (!Succeeded(fetched) || frame.pFrameTexture == nullptr) {
      ++failedFetches_;  // the frame is lost
      continue;
    }
    const double arrival = HostNowMs();
    NuiLockedRect locked;
    if (Succeeded(frame.pFrameTexture->LockRect(0, &locked, nullptr, 0)) &&
        Acceptable(*frame.pFrameTexture, locked)) {
      Store(frame, locked, arrival);
    } else {
      ++failedFetches_;
    }
    sensor_.NuiImageStreamReleaseFrame(stream_, &frame);
  }
}

bool CameraAcquisition::Acceptable(const NuiFrameTexture& texture, const NuiLockedRect& locked) const {
  const DepthFrameFormat& format = texture.format;
  if (!SameFrames(format, format_) || !DepthFormatProblem(format).empty() || locked.pBits == nullptr)
    return false;
  // The lock's row stride and size must hold every row the format says.
  const long long rowBytes = 2LL * format.width;
  return locked.Pitch >= rowBytes && locked.size >= 0 &&
         static_cast<long long>(locked.Pitch) * (format.height - 1) + rowBytes <= locked.size;
}

void CameraAcquisition::Store(const NuiImageFrame& frame, const NuiLockedRect& locked, double arrivalMs) {
  const int width = format_.width;
  const int height = format_.height;
  const std::size_t frameBytes = static_cast<std::size_t>(width) * height * 2;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    capacity_ = static_cast<int>(std::clamp<std::size_t>(kBufferBytes / frameBytes, 2, kBufferFrames));
    while (Full()) {
      DropOldest();
      ++overflowed_;
    }
    AcquiredFrame& slot = ring_[(first_ + count_) % kBufferFrames];
    slot.pixels.resize(static_cast<std::size_t>(width) * height);
    for (int row = 0; row < height; ++row)
      std::memcpy(slot.pixels.data() + static_cast<std::size_t>(row) * width,
                  locked.pBits + static_cast<std::size_t>(row) * locked.Pitch, static_cast<std::size_t>(width) * 2);
    slot.format = format_;
    slot.serial = nextSerial_++;
    slot.stamp = frame.liTimeStamp.QuadPart;
    slot.sensorFrame = frame.dwFrameNumber;
    slot.arrivalMs = arrivalMs;
    mapping_.Add(slot.stamp, arrivalMs);
    UpdatePeriod(slot.stamp, slot.sensorFrame);
    deviceGone_ = false;
    ++count_;
  }
  ++acquired_;
  Notify();
}

void CameraAcquisition::UpdatePeriod(std::int64_t stamp, std::uint32_t sensorFrame) {
  // A step over several sensor frames (one dropped) counts per frame.
  if (acquired_ > 0 && stamp > lastStamp_) {
    const std::uint32_t frames = sensorFrame > lastSensorFrame_ ? sensorFrame - lastSensorFrame_ : 1;
    const double step = static_cast<double>(stamp - lastStamp_) / std::min<std::uint32_t>(frames, 1000);
    if (step >= kShortestPeriodMs && step <= kLongestPeriodMs) {
      steps_[stepCount_ % steps_.size()] = step;
      ++stepCount_;
      std::array<double, 8> sorted = steps_;
      const int n = std::min<int>(stepCount_, static_cast<int>(sorted.size()));
      std::nth_element(sorted.begin(), sorted.begin() + n / 2, sorted.begin() + n);
      periodMs_ = sorted[n / 2];
    }
  }
  lastStamp_ = stamp;
  lastSensorFrame_ = sensorFrame;
}

void CameraAcquisition::DropOldest() {
  ring_[first_].serial = 0;
  first_ = (first_ + 1) % kBufferFrames;
  --count_;
}

double CameraAcquisition::KeyOf(const AcquiredFrame& frame) const {
  return keepsEveryFrame_ ? static_cast<double>(frame.sensorFrame) : mapping_.Map(frame.stamp);
}

int CameraAcquisition::IndexOf(std::uint64_t serial) const {
  for (int i = 0; i < count_; ++i)
    if (ring_[(first_ + i) % kBufferFrames].serial == serial) return i;
  return -1;
}

CameraAcquisition::State CameraAcquisition::Snapshot() const {
  std::lock_guard<std::mutex> lock(mutex_);
  State state;
  state.count = count_;
  for (int i = 0; i < count_; ++i) {
    const AcquiredFrame& frame = ring_[(first_ + i) % kBufferFrames];
    state.frames[i] = {frame.serial, KeyOf(frame), mapping_.Map(frame.stamp), frame.stamp};
  }
  state.deviceGone = deviceGone_;
  state.ended = ended_ && count_ == 0;
  state.periodKey = keepsEveryFrame_ ? 1.0 : periodMs_;
  state.capacity = capacity_;
  return state;
}

bool CameraAcquisition::Take(std::uint64_t serial, AcquiredFrame* into) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const int index = IndexOf(serial);
    if (index < 0) return false;
    for (int i = 0; i < index; ++i) DropOldest();
    discarded_ += static_cast<std::uint64_t>(index);
    std::swap(ring_[first_], *into);
    into->mappedMs = mapping_.Map(into->stamp);
    into->periodMs = periodMs_;
    DropOldest();
  }
  room_.notify_all();
  return true;
}

void CameraAcquisition::DiscardUpTo(std::uint64_t serial, bool count) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    int dropped = 0;
    while (count_ > 0 && (serial == 0 || ring_[first_].serial < serial)) {
      DropOldest();
      ++dropped;
    }
    if (count) discarded_ += static_cast<std::uint64_t>(dropped);
  }
  room_.notify_all();
}

void CameraAcquisition::DiscardBuffered() {
  if (!keepsEveryFrame_) DiscardUpTo(0, false);
}

double CameraAcquisition::MapStamp(std::int64_t stamp) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return mapping_.Map(stamp);
}

}  // namespace kestrova
