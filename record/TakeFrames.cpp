#include "record/TakeFrames.h"

#include "record/TakeLayout.h"

#include <algorithm>
#include <filesystem>
#include <limits>

namespace kestrova {

namespace fs = std::filesystem;

namespace {

constexpr size_t kCheckpointEvery = 1024;
constexpr std::int64_t kNoFrame = std::numeric_limits<std::int64_t>::max();

}  // namespace

bool TakeFrames::Open(const std::string& dir, std::string* error) {
  std::error_code ignored;
  if (!fs::is_directory(dir, ignored)) {
    *error = dir + ": no such directory";
    return false;
  }
  dir_ = dir;
  report_ = TakeReport();
  report_.dir = dir;
  ReadTakeParams(dir, &report_);
  report_.cameraReports = FindCameras(dir, report_);  // not resized again: the scans point into it
  std::vector<int> slots;
  for (const CameraReport& camera : report_.cameraReports)
    if (camera.inTake) slots.push_back(camera.number - 1);
  CheckTakeHasFiles(&report_);
  Index(slots);
  for (const CameraReport& camera : report_.cameraReports)
    if (camera.inTake) stops_.insert(stops_.end(), camera.faults.begin(), camera.faults.end());
  if (frameCount_ == 0) {
    *error = dir + ": no recorded frames" +
             (report_.AllFaults().empty() ? std::string() : " (" + report_.AllFaults()[0].Text() + ")");
    return false;
  }
  for (int slot : slots) {
    ReadFault fault;
    if (cameras_[slot].pairs == 0) continue;
    const std::string ts = CameraFileName(CameraFile::TimeStamps, slot);
    const std::string pcl = CameraFileName(CameraFile::Points, slot);
    if (!cameras_[slot].lines.Open((fs::path(dir) / ts).string(), ts, &fault) ||
        !cameras_[slot].records.Open((fs::path(dir) / pcl).string(), pcl, &fault)) {
      *error = fault.Text();
      return false;
    }
  }
  return true;
}

// One pass over every camera of the take, merged by frame number: counts
// the frames, notes every camera's place at each checkpoint and completes
// the report (figures, counts, faults).
void TakeFrames::Index(const std::vector<int>& slots) {
  std::array<CameraScan, kCameraCount> scans;
  std::array<CameraScan::Pair, kCameraCount> heads;
  std::array<bool, kCameraCount> live{};
  std::array<Place, kCameraCount> places{};
  auto finish = [&](int slot) {
    CameraScan::Pair ignored;
    while (scans[slot].Next(nullptr, &ignored) != CameraScan::Step::End) {
    }
    scans[slot].Finish();
  };
  for (CameraReport& camera : report_.cameraReports) {
    const int slot = camera.number - 1;
    scans[slot].Open(dir_, &camera);
    const bool used = std::find(slots.begin(), slots.end(), slot) != slots.end();
    live[slot] = used && scans[slot].Next(nullptr, &heads[slot]) == CameraScan::Step::Pair;
    if (!live[slot]) finish(slot);
  }
  frameCount_ = 0;
  for (;;) {
    std::int64_t number = kNoFrame;
    for (int slot = 0; slot < kCameraCount; ++slot)
      if (live[slot]) number = std::min(number, heads[slot].line.frame);
    if (number == kNoFrame) break;
    if (frameCount_ % kCheckpointEvery == 0) {
      Checkpoint checkpoint{frameCount_, number, places};
      for (int slot = 0; slot < kCameraCount; ++slot) {
        if (!live[slot]) continue;
        checkpoint.places[slot].lineOffset = heads[slot].line.offset;
        checkpoint.places[slot].recordOffset = heads[slot].recordOffset;
      }
      checkpoints_.push_back(checkpoint);
    }
    for (int slot = 0; slot < kCameraCount; ++slot) {
      if (!live[slot] || heads[slot].line.frame != number) continue;
      ++cameras_[slot].pairs;
      places[slot].pair = cameras_[slot].pairs;
      places[slot].previousFrame = number;
      live[slot] = scans[slot].Next(nullptr, &heads[slot]) == CameraScan::Step::Pair;
      if (!live[slot]) finish(slot);
    }
    ++frameCount_;
  }
}

std::vector<int> TakeFrames::Cameras() const {
  std::vector<int> cameras;
  for (int slot = 0; slot < kCameraCount; ++slot)
    if (cameras_[slot].pairs > 0) cameras.push_back(slot + 1);
  return cameras;
}

// Reads the line of the camera's next pair ahead; none once its pairs are read.
bool TakeFrames::Fetch(int slot, ReadFault* fault) {
  Camera& camera = cameras_[slot];
  camera.pending = false;
  if (camera.at.pair >= camera.pairs) return true;
  if (!camera.lines.Next(&camera.line, fault)) {
    if (!fault->any) *fault = {true, CameraFileName(CameraFile::TimeStamps, slot), 0, camera.at.pair, "changed while read"};
    return false;
  }
  camera.pending = true;
  return true;
}

bool TakeFrames::Restore(const Checkpoint& checkpoint, ReadFault* fault) {
  position_ = static_cast<size_t>(-1);
  for (int slot = 0; slot < kCameraCount; ++slot) {
    Camera& camera = cameras_[slot];
    camera.at = checkpoint.places[slot];
    camera.pending = false;
    if (camera.at.pair >= camera.pairs) continue;
    if (!camera.lines.Seek(camera.at.lineOffset, camera.at.pair, camera.at.previousFrame) ||
        !camera.records.Seek(camera.at.recordOffset, camera.at.pair) || !Fetch(slot, fault)) {
      if (!fault->any) *fault = {true, CameraFileName(CameraFile::Points, slot), 0, camera.at.pair, "cannot seek"};
      return false;
    }
  }
  position_ = checkpoint.position;
  return true;
}

std::int64_t TakeFrames::NextNumber() const {
  std::int64_t number = kNoFrame;
  for (const Camera& camera : cameras_)
    if (camera.pending) number = std::min(number, camera.line.frame);
  return number;
}

// Reads (or, without `frame`, skips) the frame at position_ and moves on.
bool TakeFrames::Advance(TakeFrame* frame, ReadFault* fault) {
  const std::int64_t number = NextNumber();
  if (number == kNoFrame) return false;
  if (frame) frame->number = number;
  for (int slot = 0; slot < kCameraCount; ++slot) {
    Camera& camera = cameras_[slot];
    if (frame) frame->has[slot] = false;
    if (!camera.pending || camera.line.frame != number) continue;
    std::uint32_t count;
    const bool read = frame ? camera.records.Next(&frame->xyz[slot], fault) : camera.records.Skip(&count, fault);
    if (!read) {
      position_ = static_cast<size_t>(-1);
      return false;
    }
    if (frame) {
      frame->has[slot] = true;
      frame->stamp[slot] = camera.line.Stamp();
    }
    ++camera.at.pair;
    camera.at.previousFrame = number;
    if (!Fetch(slot, fault)) {
      position_ = static_cast<size_t>(-1);
      return false;
    }
  }
  ++position_;
  return true;
}

size_t TakeFrames::FindFrame(std::int64_t number, ReadFault* fault) {
  if (checkpoints_.empty()) return frameCount_;
  auto after = std::upper_bound(checkpoints_.begin(), checkpoints_.end(), number,
                                [](std::int64_t n, const Checkpoint& c) { return n < c.number; });
  const Checkpoint& start = after == checkpoints_.begin() ? checkpoints_.front() : *(after - 1);
  if (!Restore(start, fault)) return frameCount_;
  while (position_ < frameCount_ && NextNumber() < number)
    if (!Advance(nullptr, fault)) return frameCount_;
  return position_;
}

bool TakeFrames::Read(size_t position, TakeFrame* frame, ReadFault* fault) {
  if (position >= frameCount_) return false;
  const Checkpoint& nearest = checkpoints_[position / kCheckpointEvery];
  if (position_ > position || position_ < nearest.position) {
    if (!Restore(nearest, fault)) return false;
  }
  while (position_ < position)
    if (!Advance(nullptr, fault)) return false;
  return Advance(frame, fault);
}

}  // namespace kestrova
