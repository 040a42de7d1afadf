#include "capture/net/StationDirectory.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "capture/net/DdsReading.h"
#include "capture/net/FrameSample.h"

namespace kestrova::net {

namespace {

std::vector<RemoteCamera> Cameras(const kestrova_net_CameraInfo* cameras, std::uint32_t count) {
  std::vector<RemoteCamera> list;
  for (std::uint32_t c = 0; c < count && c < 4; ++c) {
    if (cameras[c].camera < 1 || cameras[c].camera > 4) continue;
    const kestrova_net_CameraInfo& info = cameras[c];
    list.push_back({info.camera, SampleText(info.serial, sizeof info.serial),
                    PackedFormat(info.width, info.height, {info.fx, info.fy, info.cx, info.cy})});
  }
  return list;
}

}  // namespace

bool WriterParticipant(dds_entity_t reader, dds_instance_handle_t publication, ParticipantId* id) {
  dds_builtintopic_endpoint_t* writer = dds_get_matched_publication_data(reader, publication);
  if (writer == nullptr) return false;
  std::memcpy(id->data(), writer->participant_key.v, id->size());
  dds_builtintopic_free_endpoint(writer);
  return true;
}

bool StationInfo::HasCamera(int camera) const {
  return std::any_of(cameras.begin(), cameras.end(),
                     [camera](const RemoteCamera& c) { return c.camera == camera; });
}

const RemoteCamera* StationInfo::Camera(int camera) const {
  for (const RemoteCamera& c : cameras)
    if (c.camera == camera) return &c;
  return nullptr;
}

std::string RunText(const StationInfo& station) {
  char run[40];
  std::snprintf(run, sizeof run, "run %016" PRIx64, station.run);
  return std::string(run) + " on host " + (station.host.empty() ? "?" : station.host);
}

std::string VersionText(const StationInfo& station) {
  return "kestrova " + station.version + ", frame type " + std::to_string(station.frameType);
}

StationDirectory::~StationDirectory() {
  // A reader its participant took along already is no longer valid: harmless.
  if (reader_ > 0) dds_delete(reader_);
}

bool StationDirectory::Open(NetDomain& domain, std::string* error) {
  dds_listener_t* listener = livelinessChanges_.CreateListener();
  reader_ = domain.CreateAnnouncementReader(listener);
  dds_delete_listener(listener);
  if (reader_ < 0) {
    *error = domain.RefusalText(reader_, "read station announcements");
    return false;
  }
  return true;
}

bool StationDirectory::Update() {
  bool changed = TakeAnnouncements();
  changed = ApplyLiveliness() || changed;
  return changed;
}

bool StationDirectory::TakeAnnouncements() {
  bool changed = false;
  for (;;) {
    LoanedSamples<8> taken(reader_);
    if (taken.count <= 0) return changed;
    for (int i = 0; i < taken.count; ++i) {
      if (!taken.infos[i].valid_data) continue;  // liveliness tells when a run ends
      const auto& sample = *static_cast<const kestrova_net_StationAnnouncement*>(taken.samples[i]);
      StationInfo info;
      info.name = SampleText(sample.station, sizeof sample.station);
      info.host = SampleText(sample.host, sizeof sample.host);
      info.run = sample.run;
      info.version = SampleText(sample.version, sizeof sample.version);
      info.frameType = sample.frame_type;
      info.cameras = Cameras(sample.cameras._buffer, sample.cameras._length);
      if (info.name.empty()) continue;
      changed = Add(taken.infos[i].publication_handle, std::move(info)) || changed;
    }
  }
}

bool StationDirectory::Add(dds_instance_handle_t publication, StationInfo info) {
  // A writer no longer matched has gone already: its announcement is history.
  if (!WriterParticipant(reader_, publication, &info.participant)) return false;
  std::lock_guard<std::mutex> lock(runsMutex_);
  auto alive = writerAlive_.find(publication);
  info.alive = alive == writerAlive_.end() || alive->second;
  auto [run, added] = runs_.try_emplace(publication, info);
  if (added) {
    order_.push_back(publication);
    return true;
  }
  // A station announces once; a writer that announces again replaces its run.
  run->second = std::move(info);
  return true;
}

bool StationDirectory::ApplyLiveliness() {
  const std::vector<LivelinessChanges::Change> changes = livelinessChanges_.Take();
  if (changes.empty()) return false;
  std::lock_guard<std::mutex> lock(runsMutex_);
  bool changed = false;
  for (const auto& [publication, alive] : changes) {
    writerAlive_[publication] = alive;
    auto run = runs_.find(publication);
    if (run == runs_.end() || run->second.alive == alive) continue;
    run->second.alive = alive;
    changed = true;
  }
  return changed;
}

std::vector<StationInfo> StationDirectory::Runs() const {
  std::lock_guard<std::mutex> lock(runsMutex_);
  std::vector<StationInfo> runs;
  for (dds_instance_handle_t publication : order_) runs.push_back(runs_.at(publication));
  return runs;
}

std::vector<StationInfo> StationDirectory::Alive() const {
  std::vector<StationInfo> alive = Runs();
  alive.erase(std::remove_if(alive.begin(), alive.end(), [](const StationInfo& s) { return !s.alive; }),
              alive.end());
  return alive;
}

bool StationDirectory::Pending() const {
  dds_instance_handle_t matched[64];
  const dds_return_t count = dds_get_matched_publications(reader_, matched, 64);
  std::lock_guard<std::mutex> lock(runsMutex_);
  for (dds_return_t i = 0; i < count && i < 64; ++i) {
    auto alive = writerAlive_.find(matched[i]);
    const bool isAlive = alive == writerAlive_.end() || alive->second;
    if (isAlive && runs_.find(matched[i]) == runs_.end()) return true;
  }
  return false;
}

}  // namespace kestrova::net
