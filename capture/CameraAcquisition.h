// One camera's acquisition: a thread of its own that takes the sensor's
// frames as they come, the whole time the sensor is open, into a bounded
// buffer of its own, and puts each frame's time stamp on the host's clock
// (ClockMapping). Whoever puts cycles together picks frames out of the
// buffer; a camera that stalls, or a consumer that is slow for a moment,
// holds up no other camera.
//
// The buffer holds at most kBufferFrames frames and kBufferBytes bytes of
// pixels (ten frames at any size a sensor delivers, a third of a second at
// 30 frames a second). When it is full, a live camera's oldest frame goes and is
// counted (Overflowed); a camera that keeps every frame (a replay, a
// free-running simulation) is not taken from until there is room again, so
// it loses nothing.
//
// Each frame says what it is (its texture's DepthFrameFormat): its size,
// row stride and lens. The acquisition takes frames of the format the
// sensor declared when its stream opened, copied row by row into packed
// rows; a frame of any other format is refused and counted as failed, so
// that a camera's frames keep one size and lens while the engine runs.
//
// Every buffered frame has a key on one time line of the loop that takes
// it: a live camera's frames their mapped host time (ms), a camera that
// keeps every frame its sensor's frame number (a replayed take is its own
// clock). Keys are worked out when asked for, with the mapping as it stands.
//
// Thread contract. The acquisition thread alone calls the sensor's fetch
// and release. Snapshot, Take, DiscardBuffered and the counters may be
// called from any one other thread (the loop's) at a time; they take the
// buffer's lock briefly and never wait for the sensor. The frame event, if
// set, is signalled after every change the loop may wait for (a frame, a
// device that went or came back, the end of a replay).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <condition_variable>
#include <string>
#include <thread>
#include <vector>

#include "capture/ClockMapping.h"
#include "capture/NuiSensor.h"

namespace kestrova {

class ManualResetEvent;

// One frame as the acquisition took it.
struct AcquiredFrame {
  std::uint64_t serial = 0;        // counts the camera's frames, from 1
  std::int64_t stamp = 0;          // the sensor's time stamp, ms
  std::uint32_t sensorFrame = 0;   // the sensor's own frame counter
  double arrivalMs = 0;            // host ms when it was taken from the sensor
  double mappedMs = 0;             // host ms when it was taken by the camera (mapped stamp)
  double periodMs = 0;             // the camera's frame period as its stamps show; 0: not known yet
  DepthFrameFormat format;            // packed: the row stride is the width
  std::vector<std::uint16_t> pixels;  // format.width x format.height, row after row
};

// What the buffer holds, as the loop sees it at one moment.
struct BufferedFrame {
  std::uint64_t serial = 0;
  double key = 0;
  double mappedMs = 0;
  std::int64_t stamp = 0;
};

class CameraAcquisition {
 public:
  static constexpr int kBufferFrames = 10;
  static constexpr std::size_t kBufferBytes = 16u << 20;

  struct State {
    std::array<BufferedFrame, kBufferFrames> frames{};  // oldest first
    int count = 0;
    bool deviceGone = false;  // the sensor said "not connected" and has delivered nothing since
    bool ended = false;       // a recording that has played all it had (and the buffer is empty)
    double periodKey = 0;     // the frame period in key units; 0 while unknown
    int capacity = kBufferFrames;  // frames the buffer holds at the frame size seen
  };

  // Starts taking frames from `sensor`'s open `stream` at once; they must be
  // of the format the sensor declares (NuiDepthFrameFormat).
  CameraAcquisition(INuiSensor& sensor, NuiStreamHandle stream);
  // Stops and joins the thread; the sensor is not touched afterwards.
  ~CameraAcquisition();
  CameraAcquisition(const CameraAcquisition&) = delete;
  CameraAcquisition& operator=(const CameraAcquisition&) = delete;

  void Stop();
  bool KeepsEveryFrame() const { return keepsEveryFrame_; }
  // The camera's frames, packed.
  const DepthFrameFormat& Format() const { return format_; }

  // Signalled after each change; null for none. Changed only while no loop runs.
  void SetFrameEvent(ManualResetEvent* event);

  State Snapshot() const;
  // Moves the frame `serial` into `into` (its buffers are swapped, nothing
  // is allocated) and drops every older frame, counting them as
  // discarded. False when that frame is no longer buffered.
  bool Take(std::uint64_t serial, AcquiredFrame* into);
  // Drops every buffered frame older than `serial` (or all with 0),
  // counting them as discarded when `count` is set.
  void DiscardUpTo(std::uint64_t serial, bool count);
  // A live camera's frames that queued while no loop took any: stale.
  // A camera that keeps every frame keeps them.
  void DiscardBuffered();
  // The host time of `stamp` on this camera's mapping.
  double MapStamp(std::int64_t stamp) const;

  // Counters since the start.
  std::uint64_t Acquired() const { return acquired_; }
  std::uint64_t Overflowed() const { return overflowed_; }
  std::uint64_t Discarded() const { return discarded_; }
  std::uint64_t FailedFetches() const { return failedFetches_; }

 private:
  void Run();
  // True when the locked frame is one of the camera's format, its rows
  // within the buffer the lock reports.
  bool Acceptable(const NuiFrameTexture& texture, const NuiLockedRect& locked) const;
  // Copies the fetched frame into the buffer, packing its rows.
  void Store(const NuiImageFrame& frame, const NuiLockedRect& locked, double arrivalMs);
  bool Full() const;  // under the lock
  void Notify();
  void DropOldest();  // under the lock
  double KeyOf(const AcquiredFrame& frame) const;  // under the lock
  int IndexOf(std::uint64_t serial) const;  // under the lock; -1 if not buffered
  void UpdatePeriod(std::int64_t stamp, std::uint32_t sensorFrame);  // under the lock

  INuiSensor& sensor_;
  const NuiStreamHandle stream_;
  const bool keepsEveryFrame_;
  const DepthFrameFormat format_;

  mutable std::mutex mutex_;
  std::condition_variable room_;
  std::array<AcquiredFrame, kBufferFrames> ring_;
  int first_ = 0;
  int count_ = 0;
  int capacity_ = kBufferFrames;  // by the byte bound, for the frame size seen
  std::uint64_t nextSerial_ = 1;
  ClockMapping mapping_;
  bool deviceGone_ = false;
  bool ended_ = false;
  // The frame period: the smallest step between stamps of the last frames.
  std::int64_t lastStamp_ = 0;
  std::uint32_t lastSensorFrame_ = 0;
  std::array<double, 8> steps_{};
  int stepCount_ = 0;
  double periodMs_ = 0;

  std::mutex eventMutex_;
  ManualResetEvent* frameEvent_ = nullptr;

  std::atomic<bool> stopping_{false};
  std::atomic<std::uint64_t> acquired_{0}, overflowed_{0}, discarded_{0}, failedFetches_{0};
  std::thread thread_;
};

}  // namespace kestrova
