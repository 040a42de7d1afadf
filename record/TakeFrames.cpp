#include "record/TakeFrames.h"

#include <algorithm>
#include <filesystem>
#include <set>

namespace kestrova {

namespace fs = std::filesystem;

bool TakeFrames::Open(const std::string& dir, std::string* error) {
  std::error_code ignored;
  if (!fs::is_directory(dir, ignored)) {
    *error = dir + ": no such directory";
    return false;
  }
  dir_ = dir;
  // Where each camera's data ends is all that matters here; the frames'
  // points are read when a frame is.
  report_ = ExamineTake(dir, TakeScan::Records);
  std::set<std::int64_t> numbers;
  for (const CameraReport& camera : report_.cameraReports) {
    if (!camera.inTake || !camera.hasPoints || !camera.hasTimeStamps) continue;
    const int slot = camera.number - 1;
    const std::string name = "PCL" + std::to_string(camera.number) + ".dat";
    auto reader = std::make_unique<PointStreamReader>();
    ReadFault fault;
    if (!reader->Open((fs::path(dir) / name).string(), name, &fault)) {
      stops_.push_back(fault);
      continue;
    }
    // Pair line i with record i, as far as both are whole and the frame
    // numbers rise.
    std::uint32_t count;
    for (size_t i = 0; i < camera.lines.size(); ++i) {
      const TimeStampLine& line = camera.lines[i];
      if (!index_[slot].empty() && line.frame <= index_[slot].rbegin()->first) break;
      const std::uint64_t offset = reader->Offset();
      const long long record = reader->RecordIndex();
      if (!reader->Skip(&count, &fault)) break;
      index_[slot][line.frame] = {offset, record, line.Stamp()};
      numbers.insert(line.frame);
    }
    for (const ReadFault& f : camera.faults) stops_.push_back(f);
    readers_[slot] = std::move(reader);
  }
  numbers_.assign(numbers.begin(), numbers.end());
  if (numbers_.empty()) {
    *error = dir + ": no recorded frames" +
             (report_.AllFaults().empty() ? std::string() : " (" + report_.AllFaults()[0].Text() + ")");
    return false;
  }
  return true;
}

std::vector<int> TakeFrames::Cameras() const {
  std::vector<int> cameras;
  for (int slot = 0; slot < kCameraCount; ++slot)
    if (!index_[slot].empty()) cameras.push_back(slot + 1);
  return cameras;
}

bool TakeFrames::Read(size_t position, TakeFrame* frame, ReadFault* fault) {
  if (position >= numbers_.size()) return false;
  frame->number = numbers_[position];
  for (int slot = 0; slot < kCameraCount; ++slot) {
    frame->has[slot] = false;
    frame->xyz[slot].clear();
    auto found = index_[slot].find(frame->number);
    if (found == index_[slot].end()) continue;
    PointStreamReader& reader = *readers_[slot];
    if (!reader.Seek(found->second.offset, found->second.record) ||
        !reader.Next(&frame->xyz[slot], fault))
      return false;
    frame->has[slot] = true;
    frame->stamp[slot] = found->second.stamp;
  }
  return true;
}

}  // namespace kestrova
