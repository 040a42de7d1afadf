#include "capture/net/NetReceiver.h"

#include <chrono>
#include <cstdio>

namespace kestrova::net {

namespace {

constexpr int kTakeBatch = 16;

// Samples taken on loan, handed back when it goes out of scope.
struct LoanedSamples {
  explicit LoanedSamples(dds_entity_t reader) : reader(reader) {
    count = dds_take(reader, samples, infos, kTakeBatch, kTakeBatch);
  }
  ~LoanedSamples() {
    if (count > 0) dds_return_loan(reader, samples, count);
  }
  dds_entity_t reader;
  void* samples[kTakeBatch] = {};
  dds_sample_info_t infos[kTakeBatch];
  int count = 0;
};

}  // namespace

NetReceiver::~NetReceiver() { Stop(); }

bool NetReceiver::Start(int domain, std::string* error) {
  if (!domain_.Open(domain, error)) return false;
  frameReader_ = domain_.CreateFrameReader();
  announcementReader_ = domain_.CreateAnnouncementReader();
  if (frameReader_ < 0 || announcementReader_ < 0) {
    *error = "cannot create the DDS readers: " +
             DdsError(frameReader_ < 0 ? frameReader_ : announcementReader_);
    return false;
  }
  waitset_ = dds_create_waitset(domain_.Participant());
  stopCondition_ = dds_create_guardcondition(domain_.Participant());
  dds_entity_t frames = dds_create_readcondition(frameReader_, DDS_ANY_STATE);
  dds_entity_t announcements = dds_create_readcondition(announcementReader_, DDS_ANY_STATE);
  if (waitset_ < 0 || stopCondition_ < 0 || frames < 0 || announcements < 0 ||
      dds_waitset_attach(waitset_, frames, 0) < 0 ||
      dds_waitset_attach(waitset_, announcements, 0) < 0 ||
      dds_waitset_attach(waitset_, stopCondition_, 0) < 0) {
    *error = "cannot wait for DDS samples";
    return false;
  }
  thread_ = std::thread(&NetReceiver::Run, this);
  return true;
}

void NetReceiver::Stop() {
  if (!thread_.joinable()) return;
  dds_set_guardcondition(stopCondition_, true);
  thread_.join();
}

void NetReceiver::Run() {
  bool stopping = false;
  while (!stopping) {
    dds_waitset_wait(waitset_, nullptr, 0, DDS_MSECS(200));
    dds_read_guardcondition(stopCondition_, &stopping);
    TakeAnnouncements();
    TakeFrames();
  }
}

void NetReceiver::TakeAnnouncements() {
  for (;;) {
    LoanedSamples taken(announcementReader_);
    if (taken.count <= 0) return;
    for (int i = 0; i < taken.count; ++i) {
      const auto& sample = *static_cast<const kestrova_net_StationAnnouncement*>(taken.samples[i]);
      const std::string name = SampleText(sample.station, sizeof sample.station);
      if (name.empty()) continue;
      if (!taken.infos[i].valid_data) {
        if (taken.infos[i].instance_state != DDS_IST_ALIVE) StationEnded(name, sample.run);
        continue;
      }
      StationInfo info;
      info.name = name;
      info.host = SampleText(sample.host, sizeof sample.host);
      info.run = sample.run;
      for (std::uint32_t c = 0; c < sample.cameras._length && c < 4; ++c) {
        const auto& camera = sample.cameras._buffer[c];
        if (camera.camera < 1 || camera.camera > 4) continue;
        info.cameras.push_back({camera.camera, SampleText(camera.serial, sizeof camera.serial)});
      }
      std::lock_guard<std::mutex> lock(stationsMutex_);
      stations_[name][info.run] = std::move(info);
    }
    stationsChanged_.notify_all();
  }
}

void NetReceiver::StationEnded(const std::string& name, std::uint64_t run) {
  {
    std::lock_guard<std::mutex> lock(stationsMutex_);
    auto found = stations_.find(name);
    if (found == stations_.end()) return;
    found->second.erase(run);
    if (!found->second.empty()) return;  // another station of that name runs on
    stations_.erase(found);
  }
  stationsChanged_.notify_all();
  std::lock_guard<std::mutex> lock(sinksMutex_);
  for (auto& [key, sink] : sinks_)
    if (key.first == name) sink->StationGone();
}

void NetReceiver::TakeFrames() {
  for (;;) {
    LoanedSamples taken(frameReader_);
    if (taken.count <= 0) return;
    std::lock_guard<std::mutex> lock(sinksMutex_);
    for (int i = 0; i < taken.count; ++i) {
      const auto& sample = *static_cast<const kestrova_net_DepthFrameSample*>(taken.samples[i]);
      const CameraKey key(SampleText(sample.station, sizeof sample.station), sample.camera);
      auto found = sinks_.find(key);
      if (!taken.infos[i].valid_data) {
        // The camera's writer is gone: the station ended, died or was cut off.
        if (taken.infos[i].instance_state != DDS_IST_ALIVE && found != sinks_.end())
          found->second->StationGone();
        continue;
      }
      if (found == sinks_.end() || found->second->Deliver(sample) != SampleFault::None) ++dropped_;
    }
  }
}

std::vector<StationInfo> NetReceiver::Stations() const {
  std::lock_guard<std::mutex> lock(stationsMutex_);
  std::vector<StationInfo> stations;
  for (const auto& [name, runs] : stations_)
    if (!runs.empty()) stations.push_back(runs.rbegin()->second);
  return stations;
}

std::map<std::string, std::vector<std::string>> NetReceiver::DuplicateNames() const {
  std::lock_guard<std::mutex> lock(stationsMutex_);
  std::map<std::string, std::vector<std::string>> duplicates;
  for (const auto& [name, runs] : stations_) {
    if (runs.size() < 2) continue;
    for (const auto& [run, info] : runs) duplicates[name].push_back(info.host);
  }
  return duplicates;
}

bool NetReceiver::WaitForStations(const std::function<bool(const std::vector<StationInfo>&)>& done,
                                  int timeoutMs) const {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (done(Stations())) return true;
    std::unique_lock<std::mutex> lock(stationsMutex_);
    if (stationsChanged_.wait_until(lock, until) == std::cv_status::timeout) {
      lock.unlock();
      return done(Stations());
    }
  }
}

void NetReceiver::Subscribe(const std::string& station, int camera, FrameSink* sink) {
  std::lock_guard<std::mutex> lock(sinksMutex_);
  sinks_[CameraKey(station, camera)] = sink;
}

void NetReceiver::Unsubscribe(FrameSink* sink) {
  std::lock_guard<std::mutex> lock(sinksMutex_);
  for (auto it = sinks_.begin(); it != sinks_.end();) {
    if (it->second == sink)
      it = sinks_.erase(it);
    else
      ++it;
  }
}

}  // namespace kestrova::net
