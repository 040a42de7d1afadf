#include "capture/net/NetReceiver.h"
#include "capture/ThreadName.h"

#include <chrono>

#include "capture/net/DdsReading.h"

namespace kestrova::net {

namespace {

constexpr int kTakeBatch = 16;
constexpr size_t kWritersRemembered = 256;  // frame writers whose participant is kept

std::string CameraText(int slot, const std::string& station, int camera) {
  return "camera " + std::to_string(slot + 1) + " (" + station + "/" + std::to_string(camera) + ")";
}

}  // namespace

NetReceiver::~NetReceiver() {
  Stop();
  // No more listener calls into this object while its members go.
  if (frameReader_ > 0) dds_delete(frameReader_);
}

bool NetReceiver::Start(int domain, const std::string& securityDir, std::string* error) {
  if (!domain_.Open(domain, securityDir, error)) return false;
  if (!directory_.Open(domain_, error)) return false;
  dds_listener_t* listener = livelinessChanges_.CreateListener();
  frameReader_ = domain_.CreateFrameReader(listener);
  dds_delete_listener(listener);
  if (frameReader_ < 0) {
    *error = domain_.RefusalText(frameReader_, "read depth frames");
    return false;
  }
  publications_ = dds_create_reader(domain_.Participant(), DDS_BUILTIN_TOPIC_DCPSPUBLICATION, nullptr, nullptr);
  waitset_ = dds_create_waitset(domain_.Participant());
  stopCondition_ = dds_create_guardcondition(domain_.Participant());
  dds_entity_t frames = dds_create_readcondition(frameReader_, DDS_ANY_STATE);
  dds_entity_t announcements = dds_create_readcondition(directory_.Reader(), DDS_ANY_STATE);
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
  NameThisThread("kv-receive");
  bool stopping = false;
  while (!stopping) {
    // The timeout also picks up changes of liveliness, which wake nothing.
    dds_waitset_wait(waitset_, nullptr, 0, DDS_MSECS(100));
    dds_read_guardcondition(stopCondition_, &stopping);
    const bool stationsChanged = directory_.Update();
    if (ApplyFrameWriterLiveliness() || stationsChanged) ReviewBindings();
    if (stationsChanged) {
      {
        std::lock_guard<std::mutex> lock(stationsMutex_);
        ++stationChanges_;
      }
      stationsChanged_.notify_all();
    }
    TakeFrames();
  }
}

std::vector<StationInfo> NetReceiver::Stations() const { return directory_.Alive(); }

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

void NetReceiver::WaitUntilSettled(int quietMs, int limitMs) const {
  using Clock = std::chrono::steady_clock;
  const auto until = Clock::now() + std::chrono::milliseconds(limitMs);
  std::unique_lock<std::mutex> lock(stationsMutex_);
  std::uint64_t seen = stationChanges_;
  auto quietSince = Clock::now();
  while (Clock::now() < until) {
    stationsChanged_.wait_for(lock, std::chrono::milliseconds(20));
    if (stationChanges_ != seen) {
      seen = stationChanges_;
      quietSince = Clock::now();
      continue;
    }
    if (Clock::now() - quietSince < std::chrono::milliseconds(quietMs)) continue;
    lock.unlock();
    const bool pending = directory_.Pending();
    lock.lock();
    if (!pending) return;
  }
}

std::vector<int> NetReceiver::OtherFrameTypes() const {
  constexpr int kWriters = 64;
  std::set<int> types;
  void* samples[kWriters] = {};
  dds_sample_info_t infos[kWriters];
  const int count = dds_read_mask(publications_, samples, infos, kWriters, kWriters,
                                  DDS_ANY_SAMPLE_STATE | DDS_ANY_VIEW_STATE | DDS_ALIVE_INSTANCE_STATE);
  for (int i = 0; i < count; ++i) {
    const auto* writer = static_cast<const dds_builtintopic_endpoint_t*>(samples[i]);
    const int type = infos[i].valid_data && writer->topic_name ? FrameTypeOfTopic(writer->topic_name) : 0;
    if (type != 0 && type != FrameTypeVersion()) types.insert(type);
  }
  if (count > 0) dds_return_loan(publications_, samples, count);
  return std::vector<int>(types.begin(), types.end());
}

void NetReceiver::Subscribe(const StationInfo& station, int camera, int slot, FrameSink* sink) {
  std::lock_guard<std::mutex> lock(bindingsMutex_);
  Binding& binding = bindings_[CameraKey(station.name, camera)];
  binding = Binding();
  binding.sink = sink;
  binding.slot = slot;
  binding.run = station;
}

void NetReceiver::Unsubscribe(FrameSink* sink) {
  std::lock_guard<std::mutex> lock(bindingsMutex_);
  // The binding stays, without its sink, for the summary.
  for (auto& [key, binding] : bindings_)
    if (binding.sink == sink) binding.sink = nullptr;
}

bool NetReceiver::ApplyFrameWriterLiveliness() {
  const std::vector<LivelinessChanges::Change> changes = livelinessChanges_.Take();
  std::lock_guard<std::mutex> lock(bindingsMutex_);
  for (const auto& [publication, alive] : changes) {
    ParticipantId participant;
    if (!Writer(publication, &participant)) continue;  // gone before it was known: nobody's source
    for (auto& [key, binding] : bindings_) {
      if (!binding.sink || binding.run.participant != participant || binding.runGone == !alive) continue;
      binding.runGone = !alive;
      const std::string camera = CameraText(binding.slot, key.first, key.second);
      if (!alive) {
        binding.sink->StationGone();
        Notice(camera + ": station " + key.first + " (" + RunText(binding.run) + ") is gone");
      } else {
        if (!binding.cameraGone) binding.sink->StationBack();
        Notice(camera + ": station " + key.first + " (" + RunText(binding.run) + ") is back");
      }
    }
  }
  return !changes.empty();
}

void NetReceiver::ReviewBindings() {
  const std::vector<StationInfo> runs = directory_.Runs();
  std::lock_guard<std::mutex> lock(bindingsMutex_);
  for (auto& [key, binding] : bindings_)
    if (binding.sink) ReviewBinding(key, binding, runs);
  // Another run of a recorded station's name, while the recorded run lives.
  for (const StationInfo& run : runs) {
    if (!run.alive || reportedNewcomers_.count(run.participant)) continue;
    for (const auto& [key, binding] : bindings_) {
      if (!binding.sink || binding.run.name != run.name || binding.run.participant == run.participant ||
          binding.runGone)
        continue;
      reportedNewcomers_.insert(run.participant);
      Notice("a second station named '" + run.name + "' appeared (" + RunText(run) +
             "); its frames are ignored while the take's " + RunText(binding.run) + " lives");
      break;
    }
  }
}

void NetReceiver::ReviewBinding(const CameraKey& key, Binding& binding,
                                const std::vector<StationInfo>& runs) {
  if (!binding.runGone) return;
  const std::string camera = CameraText(binding.slot, key.first, key.second);
  // Its run is gone: a later run of the station takes its place.
  for (const StationInfo& run : runs) {
    if (!run.alive || run.name != key.first || run.participant == binding.run.participant ||
        binding.refusedRuns.count(run.participant))
      continue;
    const RemoteCamera* before = binding.run.Camera(key.second);
    const RemoteCamera* now = run.Camera(key.second);
    std::string why;
    if (!run.Compatible())
      why = "as " + VersionText(run) + ", which this recorder cannot read";
    else if (!now)
      why = "without camera " + std::to_string(key.second);
    else if (before && !SameFrames(now->format, before->format))
      why = "sending frames of " + SizeText(now->format.width, now->format.height) +
            (now->format.width == before->format.width && now->format.height == before->format.height
                 ? " through another lens"
                 : "") +
            " where the take's are " + SizeText(before->format.width, before->format.height);
    if (!why.empty()) {
      binding.refusedRuns.insert(run.participant);
      Notice(camera + ": station " + key.first + " is back as " + RunText(run) + ", but " + why + "; it stays lost");
      continue;
    }
    binding.run = run;
    binding.runGone = false;
    binding.cameraGone = false;
    binding.sink->StationBack();
    std::string serial;
    for (const RemoteCamera& c : run.cameras)
      if (c.camera == key.second) serial = c.serial;
    Notice(camera + ": station " + key.first + " restarted as " + RunText(run) + " (sensor " + serial +
           "); its frames are recorded from here on");
    return;
  }
}

bool NetReceiver::Writer(dds_instance_handle_t publication, ParticipantId* participant) {
  auto known = writers_.find(publication);
  if (known != writers_.end()) {
    *participant = known->second;
    return true;
  }
  if (!WriterParticipant(frameReader_, publication, participant)) return false;
  if (writers_.size() >= kWritersRemembered) writers_.clear();
  writers_[publication] = *participant;
  return true;
}

void NetReceiver::TakeFrames() {
  for (;;) {
    LoanedSamples<kTakeBatch> taken(frameReader_);
    if (taken.count <= 0) return;
    std::lock_guard<std::mutex> lock(bindingsMutex_);
    for (int i = 0; i < taken.count; ++i) {
      const auto& sample = *static_cast<const kestrova_net_DepthFrameSample*>(taken.samples[i]);
      const dds_sample_info_t& info = taken.infos[i];
      auto found = bindings_.find(CameraKey(SampleText(sample.station, sizeof sample.station), sample.camera));
      if (found == bindings_.end() || !found->second.sink) {
        if (info.valid_data) ++dropped_;
        continue;
      }
      Binding& binding = found->second;
      ParticipantId writer{};
      const bool known = Writer(info.publication_handle, &writer);
      if (!known || writer != binding.run.participant || sample.run != binding.run.run) {
        if (!info.valid_data) continue;
        ++binding.foreign;
        ++foreign_;
        if (binding.reportedSources.insert(writer).second)
          Notice(CameraText(binding.slot, found->first.first, found->first.second) +
                 ": frames from a source other than station " + found->first.first + " (" +
                 RunText(binding.run) + ") are ignored");
        continue;
      }
      if (!info.valid_data) {
        // The station unregistered the camera: it lost it.
        if (info.instance_state != DDS_IST_ALIVE && !binding.cameraGone) {
          binding.cameraGone = true;
          binding.sink->StationGone();
        }
        continue;
      }
      if (binding.cameraGone) {
        // The run sends this camera again (after a link was cut and mended).
        binding.cameraGone = false;
        if (!binding.runGone) binding.sink->StationBack();
      }
      if (binding.sink->Deliver(sample) != SampleFault::None) ++dropped_;
    }
  }
}

void NetReceiver::Notice(const std::string& text) {
  std::lock_guard<std::mutex> lock(noticesMutex_);
  notices_.push_back(text);
}

std::vector<std::string> NetReceiver::TakeNotices() {
  std::lock_guard<std::mutex> lock(noticesMutex_);
  std::vector<std::string> notices;
  notices.swap(notices_);
  return notices;
}

std::vector<std::string> NetReceiver::Summary() const {
  std::lock_guard<std::mutex> lock(bindingsMutex_);
  std::map<int, std::string> lines;
  for (const auto& [key, binding] : bindings_)
    if (binding.foreign > 0)
      lines[binding.slot] = CameraText(binding.slot, key.first, key.second) + ": " +
                            std::to_string(binding.foreign) +
                            " frames from other sources than its station were ignored";
  std::vector<std::string> summary;
  for (const auto& [slot, line] : lines) summary.push_back(line);
  return summary;
}

}  // namespace kestrova::net
