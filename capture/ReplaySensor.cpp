#include "capture/ReplaySensor.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>

#include "capture/DepthPgm.h"
#include "capture/DepthPng.h"
#include "capture/Event.h"
#include "record/TakeLayout.h"
#include "settings/Settings.h"
#include "record/DepthFrameFile.h"

namespace kestrova {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

ReplaySensor::ReplaySensor(int index, std::vector<std::string> frames, double fps)
    : QueuedSensor(index), frames_(std::move(frames)), fps_(fps) {}

ReplaySensor::~ReplaySensor() { NuiShutdown(); }

HRESULT ReplaySensor::NuiInitialize(std::uint32_t flags) {
  return (flags & NUI_INITIALIZE_FLAG_USES_DEPTH) ? S_OK : E_INVALIDARG;
}

HRESULT ReplaySensor::NuiImageStreamOpen(int imageType, int resolution, std::uint32_t,
                                         std::uint32_t frameLimit, ManualResetEvent*,
                                         NuiStreamHandle* stream) {
  if (imageType != NUI_IMAGE_TYPE_DEPTH || resolution != NUI_IMAGE_RESOLUTION_320x240)
    return E_INVALIDARG;
  // A replay loses no frame: the queue waits, and frames still waiting keep
  // waking the pacing loop.
  return OpenQueue(frameLimit, FrameQueue::Overflow::Wait, true, stream);
}

bool ReplaySensor::NuiStreamEnded() const {
  return producerDone_ && Queue().Size() == 0;
}

std::string ReplaySensor::NuiStreamError() const {
  std::lock_guard<std::mutex> lock(errorMutex_);
  return error_;
}

std::string ReplaySensor::NuiUniqueId() const {
  return "replay:cam" + std::to_string(index_ + 1);
}

std::unique_ptr<ReplaySensor> ReplaySensor::FromDepthFile(int index, const std::string& path,
                                                          double fps) {
  auto sensor = std::make_unique<ReplaySensor>(index, std::vector<std::string>(), fps);
  sensor->depthFile_ = path;
  return sensor;
}

void ReplaySensor::SetError(const std::string& error) {
  std::lock_guard<std::mutex> lock(errorMutex_);
  error_ = error;
}

void ReplaySensor::Produce() {
  if (depthFile_.empty())
    ProduceFromImages();
  else
    ProduceFromDepthFile();
  producerDone_ = true;
}

void ReplaySensor::ProduceFromDepthFile() {
  DepthFrameReader reader;
  ReadFault fault;
  const std::string name = fs::path(depthFile_).filename().string();
  if (!reader.Open(depthFile_, name, &fault)) {
    SetError(fault.Text());
    return;
  }
  if (reader.Header().width != kDepthWidth || reader.Header().height != kDepthHeight) {
    SetError(name + " holds frames of " + std::to_string(reader.Header().width) + "x" +
             std::to_string(reader.Header().height) + " pixels; a sensor delivers 320x240");
    return;
  }
  const Clock::time_point opened = Clock::now();
  DepthFrameRecord record;
  std::int64_t firstStamp = 0;
  for (std::uint32_t n = 0; reader.Next(&record, &fault); ++n) {
    if (n == 0) firstStamp = record.stamp;
    // Paced by the take's own clock; a stamp that went back is due at once.
    if (fps_ > 0 && !SleepUntil(opened + std::chrono::milliseconds(
                                             std::max<std::int64_t>(0, record.stamp - firstStamp))))
      return;
    std::unique_ptr<NuiFrameTexture> buffer = Queue().AcquireBuffer();
    if (!buffer) return;  // shut down
    buffer->pixels = record.pixels;
    NuiTimeStamp stamp;
    stamp.QuadPart = record.stamp;
    // The take's frame number: frames of one cycle of the take carry the
    // same one in every camera's file, which is how a replay matches them.
    if (!Queue().Publish(std::move(buffer), stamp, static_cast<std::uint32_t>(record.frame))) return;
    SignalFrameEnd();
  }
  // The frames before a damaged one stay delivered; the take ends there.
  if (fault.any) SetError(fault.Text());
}

void ReplaySensor::ProduceFromImages() {
  const double periodMs = 1000.0 / (fps_ > 0 ? fps_ : 30.0);
  const Clock::time_point opened = Clock::now();
  for (size_t n = 0; n < frames_.size(); ++n) {
    if (fps_ > 0) {
      auto due = opened + std::chrono::duration_cast<Clock::duration>(
                              std::chrono::duration<double, std::milli>(periodMs * n));
      if (!SleepUntil(due)) break;
    }
    std::unique_ptr<NuiFrameTexture> buffer = Queue().AcquireBuffer();
    if (!buffer) break;  // shut down
    std::string error;
    const bool png = fs::path(frames_[n]).extension() == ".png";
    if (!(png ? ReadDepthPng(frames_[n], buffer->pixels, &error)
              : ReadDepthPgm(frames_[n], buffer->pixels, &error))) {
      // The frames before it stay delivered; the take ends on this one.
      SetError("frame " + std::to_string(n + 1) + " of " + std::to_string(frames_.size()) +
               " cannot be read: " + error);
      break;
    }
    NuiTimeStamp stamp;
    stamp.QuadPart = std::llround(periodMs * n);
    if (!Queue().Publish(std::move(buffer), stamp, static_cast<std::uint32_t>(n))) break;
    SignalFrameEnd();
  }
}

void ReplayBackend::Refuse(const std::string& path, const std::string& reason) {
  if (problem_.empty()) problem_ = path + ": " + reason;
}

ReplayBackend::ReplayBackend(const std::string& dir, double fps) : fps_(fps) {
  bool take = false;
  for (int i = 0; i < kCameraCount; ++i) {
    fs::path file = fs::path(dir) / CameraFileName(CameraFile::Depth, i);
    std::error_code error;
    if (!fs::exists(fs::symlink_status(file, error))) continue;
    take = true;
    // A FIFO would block the replay, a device never end it.
    if (fs::is_regular_file(file, error)) {
      depthFiles_[i] = file.string();
    } else {
      Refuse(file.string(), "not a regular file");
    }
  }
  if (take) return;
  for (int i = 0; i < kCameraCount; ++i) {
    fs::path folder = fs::path(dir) / ("cam" + std::to_string(i + 1));
    std::error_code error;
    if (!fs::is_directory(folder, error)) continue;
    for (const auto& entry : fs::directory_iterator(folder, error)) {
      const fs::path extension = entry.path().extension();
      if (extension != ".pgm" && extension != ".png") continue;
      std::error_code status;
      if (!fs::is_regular_file(entry.path(), status)) Refuse(entry.path().string(), "not a regular file");
      frames_[i].push_back(entry.path().string());
    }
    std::sort(frames_[i].begin(), frames_[i].end());
  }
}

int ReplayBackend::CameraCount() const {
  int count = 0;
  for (int i = 0; i < kCameraCount; ++i) count += !frames_[i].empty() || !depthFiles_[i].empty();
  return count;
}

HRESULT ReplayBackend::NuiCreateSensorByIndex(int index, std::unique_ptr<INuiSensor>* sensor) {
  if (sensor == nullptr) return E_INVALIDARG;
  sensor->reset();
  if (index < 0 || index >= kCameraCount) return E_NUI_DEVICE_NOT_CONNECTED;
  if (!depthFiles_[index].empty()) {
    *sensor = ReplaySensor::FromDepthFile(index, depthFiles_[index], fps_);
    return S_OK;
  }
  if (frames_[index].empty()) return E_NUI_DEVICE_NOT_CONNECTED;
  *sensor = std::make_unique<ReplaySensor>(index, frames_[index], fps_);
  return S_OK;
}

}  // namespace kestrova
