#include "capture/ReplaySensor.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>

#include "capture/DepthIntrinsics.h"
#include "capture/DepthPgm.h"
#include "capture/DepthPng.h"
#include "capture/Event.h"
#include "record/DepthFrameFile.h"
#include "record/TakeLayout.h"
#include "record/TakeLens.h"
#include "settings/Settings.h"

namespace kestrova {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

// Reads a PNG or PGM depth image by its extension.
bool ReadDepthImage(const std::string& path, std::vector<std::uint16_t>& pixels, int* width, int* height,
                    std::string* error) {
  return fs::path(path).extension() == ".png" ? ReadDepthPng(path, pixels, width, height, error)
                                              : ReadDepthPgm(path, pixels, width, height, error);
}

}  // namespace

ReplaySensor::ReplaySensor(int index, std::vector<std::string> frames, const DepthFrameFormat& format, double fps)
    : QueuedSensor(index), frames_(std::move(frames)), format_(format), fps_(fps) {}

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
  return OpenQueue(frameLimit, FrameQueue::Overflow::Wait, true, stream, format_);
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
                                                          const DepthFrameFormat& format, double fps) {
  auto sensor = std::make_unique<ReplaySensor>(index, std::vector<std::string>(), format, fps);
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
  if (reader.Header().width != format_.width || reader.Header().height != format_.height) {
    SetError(name + " holds frames of " + SizeText(reader.Header().width, reader.Header().height) +
             " pixels, but " + kTakeLensFile + " gives the camera " + SizeText(format_.width, format_.height));
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
    int width = 0, height = 0;
    if (ReadDepthImage(frames_[n], buffer->pixels, &width, &height, &error) &&
        (width != format_.width || height != format_.height))
      error = frames_[n] + ": frame is " + SizeText(width, height) + ", but the camera's frames are " +
              SizeText(format_.width, format_.height) + " (its first frame's size)";
    if (!error.empty()) {
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

DepthFrameFormat ReplayBackend::FolderFormat(const std::string& folder, const std::vector<std::string>& frames) {
  // A first frame that cannot be read is named when it is played.
  int width = kDefaultDepthWidth, height = kDefaultDepthHeight;
  std::vector<std::uint16_t> pixels;
  std::string ignored;
  if (!frames.empty()) ReadDepthImage(frames.front(), pixels, &width, &height, &ignored);
  const std::string path = folder + "/" + kIntrinsicsTextFile;
  std::error_code error;
  if (!fs::exists(fs::symlink_status(path, error))) return ScaledDefaultFormat(width, height);
  DepthIntrinsics intrinsics;
  std::string problem;
  if (!ReadIntrinsicsText(path, &intrinsics, &problem)) {
    if (problem_.empty()) problem_ = problem;
  } else if (intrinsics.width != width || intrinsics.height != height) {
    Refuse(path, "gives frames of " + SizeText(intrinsics.width, intrinsics.height) + ", but " +
                     frames.front() + " is " + SizeText(width, height));
  }
  return PackedFormat(width, height, intrinsics.width == width ? intrinsics.lens : ScaledDefaultLens(width, height));
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
  if (take) {
    // The take's cameras keep the frame sizes and lenses it recorded.
    TakeLens lens;
    ReadFault fault;
    if (!ReadTakeLens(dir, &lens, &fault)) Refuse(dir, fault.Text());
    formats_ = lens.formats;
    return;
  }
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
    if (!frames_[i].empty()) formats_[i] = FolderFormat(folder.string(), frames_[i]);
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
    *sensor = ReplaySensor::FromDepthFile(index, depthFiles_[index], formats_[index], fps_);
    return S_OK;
  }
  if (frames_[index].empty()) return E_NUI_DEVICE_NOT_CONNECTED;
  *sensor = std::make_unique<ReplaySensor>(index, frames_[index], formats_[index], fps_);
  return S_OK;
}

}  // namespace kestrova
