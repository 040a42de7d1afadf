#include "capture/net/Station.h"
#include "capture/ThreadName.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <random>

#include "capture/net/FrameSample.h"
#include "capture/net/NetBackend.h"
#include "settings/Version.h"

namespace kestrova::net {

namespace {

constexpr std::uint32_t kFetchWaitMs = 100;  // so that a stop is noticed within this

std::uint64_t RandomRun() {
  std::random_device random;
  return (static_cast<std::uint64_t>(random()) << 32) | random();
}

}  // namespace

std::string HostName() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0) return std::string();
  return name;
}

Station::Station(std::string name) : name_(std::move(name)), run_(RandomRun()) {}

Station::~Station() { Stop(); }

bool Station::Start(std::unique_ptr<SensorBackend> backend, int domain,
                    const std::string& securityDir, std::string* error) {
  if (!ValidStationName(name_)) {
    *error = "station name '" + name_ +
             "' must be 1 to 64 characters without spaces, '/' or ','; choose one with --name";
    return false;
  }
  backend_ = std::move(backend);
  if (!OpenCameras(*backend_, error)) return false;
  if (!domain_.Open(domain, securityDir, error)) return false;
  announcementWriter_ = domain_.CreateAnnouncementWriter();
  if (announcementWriter_ < 0) {
    *error = domain_.RefusalText(announcementWriter_, "announce a station");
    return false;
  }
  frameWriter_ = domain_.CreateFrameWriter();
  if (frameWriter_ < 0) {
    *error = domain_.RefusalText(frameWriter_, "publish depth frames");
    return false;
  }
  if (!Announce(error) || !CheckNameIsFree(error)) {
    domain_.Close();  // recorders see this run gone at once
    return false;
  }
  for (int slot = 0; slot < 4; ++slot)
    if (cameras4_[slot].sensor) cameras4_[slot].thread = std::thread(&Station::Send, this, slot);
  return true;
}

bool Station::OpenCameras(SensorBackend& backend, std::string* error) {
  for (int slot = 0; slot < 4; ++slot) {
    Camera& camera = cameras4_[slot];
    if (!Succeeded(backend.NuiCreateSensorByIndex(slot, &camera.sensor)) || !camera.sensor) continue;
    camera.sensor->NuiInitialize(NUI_INITIALIZE_FLAG_USES_DEPTH);
    if (!Succeeded(camera.sensor->NuiImageStreamOpen(NUI_IMAGE_TYPE_DEPTH,
                                                     NUI_IMAGE_RESOLUTION_320x240, 0, 2, nullptr,
                                                     &camera.stream)) ||
        !DepthFormatProblem(camera.sensor->NuiDepthFrameFormat()).empty()) {
      camera.sensor->NuiShutdown();
      camera.sensor.reset();
      continue;
    }
    camera.serial = camera.sensor->NuiUniqueId();
    const DepthFrameFormat format = camera.sensor->NuiDepthFrameFormat();
    cameras_.push_back({slot + 1, camera.serial, PackedFormat(format.width, format.height, format.lens)});
  }
  if (cameras_.empty()) {
    *error = "no depth sensor found (" + backend.Name() + ")";
    return false;
  }
  return true;
}

bool Station::Announce(std::string* error) {
  kestrova_net_StationAnnouncement announcement{};
  SetSampleText(name_, announcement.station);
  SetSampleText(HostName(), announcement.host);
  announcement.run = run_;
  SetSampleText(ProgramVersion(), announcement.version);
  announcement.frame_type = static_cast<std::uint16_t>(FrameTypeVersion());
  kestrova_net_CameraInfo infos[4] = {};
  for (size_t i = 0; i < cameras_.size() && i < 4; ++i) {
    infos[i].camera = static_cast<std::uint16_t>(cameras_[i].camera);
    SetSampleText(cameras_[i].serial, infos[i].serial);
    const DepthFrameFormat& format = cameras_[i].format;
    infos[i].width = static_cast<std::uint16_t>(format.width);
    infos[i].height = static_cast<std::uint16_t>(format.height);
    infos[i].fx = format.lens.fx;
    infos[i].fy = format.lens.fy;
    infos[i].cx = format.lens.cx;
    infos[i].cy = format.lens.cy;
  }
  announcement.cameras._buffer = infos;
  announcement.cameras._length = static_cast<std::uint32_t>(cameras_.size());
  announcement.cameras._maximum = announcement.cameras._length;
  announcement.cameras._release = false;
  dds_return_t result = dds_write(announcementWriter_, &announcement);
  if (result < 0) {
    *error = "cannot announce the station: " + DdsError(result);
    return false;
  }
  return true;
}

// Announced first, then listening: of two runs that start at the same
// moment, each that hears the other gives the name up, so at most one keeps it.
bool Station::CheckNameIsFree(std::string* error) {
  StationDirectory directory;
  if (!directory.Open(domain_, error)) return false;
  dds_guid_t own;
  if (dds_get_guid(domain_.Participant(), &own) != DDS_RETCODE_OK) {
    *error = "cannot learn this station's DDS identity";
    return false;
  }
  ParticipantId self;
  std::copy(std::begin(own.v), std::end(own.v), self.begin());
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  for (;;) {
    directory.Update();
    for (const StationInfo& other : directory.Alive()) {
      if (other.name != name_ || other.participant == self) continue;
      StationInfo me;
      me.run = run_;
      me.host = HostName();
      *error = "a station named '" + name_ + "' is already running on DDS domain " +
               std::to_string(domain_.Domain()) + " (" + RunText(other) + "; this one is " +
               RunText(me) + "); give this one another name with --name";
      return false;
    }
    const auto waited = Clock::now() - start;
    // A station found but not yet heard from may be of this name.
    if (waited >= std::chrono::milliseconds(kNameCheckMs) &&
        (!directory.Pending() || waited >= std::chrono::milliseconds(kNameCheckLimitMs)))
      return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

void Station::Send(int slot) {
  NameThisThread("kv-send " + std::to_string(slot + 1));
  Camera& camera = cameras4_[slot];
  FrameSampleEncoder encoder;
  kestrova_net_DepthFrameSample sample{};
  bool first = true;
  std::uint32_t lastNumber = 0;
  const DepthFrameFormat announced = camera.sensor->NuiDepthFrameFormat();
  while (!stopping_) {
    NuiImageFrame frame{};
    HRESULT result = camera.sensor->NuiImageStreamGetNextFrame(camera.stream, kFetchWaitMs, &frame);
    if (result == E_NUI_FRAME_NO_DATA) {
      camera.ended = camera.sensor->NuiStreamEnded();
      continue;
    }
    if (!Succeeded(result)) {
      // The camera is gone here: recorders must see it gone too.
      camera.lost = true;
      SetSampleText(name_, sample.station);
      sample.run = run_;
      sample.camera = static_cast<std::uint16_t>(slot + 1);
      dds_unregister_instance(frameWriter_, &sample);
      return;
    }
    // A station too slow for its camera loses frames here, not on the network.
    if (!first && frame.dwFrameNumber > lastNumber + 1)
      camera.skipped += frame.dwFrameNumber - lastNumber - 1;
    first = false;
    lastNumber = frame.dwFrameNumber;
    // With no recorder listening the frame is taken and let go: nothing to
    // compress, and the sensor's queue stays fresh for the first one.
    if (!AnyRecorder()) {
      camera.sensor->NuiImageStreamReleaseFrame(camera.stream, &frame);
      continue;
    }
    // The frame says what it holds: the announced size and lens, and a
    // buffer that holds every row of it.
    const NuiFrameTexture& texture = *frame.pFrameTexture;
    const DepthFrameView view{texture.pixels.data(), texture.format};
    std::string error;
    if (SameFrames(texture.format, announced) && texture.pixels.size() >= texture.format.BufferPixels() &&
        encoder.Fill(name_, run_, slot + 1, camera.serial, frame, view, &sample, &error)) {
      if (dds_write(frameWriter_, &sample) >= 0) {
        ++camera.sent;
        bytes_ += sample.pixels._length;
      } else {
        ++writeFailures_;
      }
    } else {
      ++writeFailures_;
    }
    camera.sensor->NuiImageStreamReleaseFrame(camera.stream, &frame);
  }
}

void Station::Stop() {
  if (stopping_.exchange(true)) return;
  for (Camera& camera : cameras4_) {
    if (camera.thread.joinable()) camera.thread.join();
    if (camera.sensor) camera.sensor->NuiShutdown();
  }
  // Deleting the participant ends its writers: recorders see every camera gone.
  domain_.Close();
}

bool Station::AnyRecorder() const {
  dds_publication_matched_status_t matched;
  return dds_get_publication_matched_status(frameWriter_, &matched) == 0 && matched.current_count > 0;
}

StationFigures Station::Figures() const {
  StationFigures figures;
  for (int slot = 0; slot < 4; ++slot) {
    figures.present[slot] = cameras4_[slot].sensor != nullptr;
    figures.sent[slot] = cameras4_[slot].sent;
    figures.skipped[slot] = cameras4_[slot].skipped;
    figures.ended[slot] = cameras4_[slot].ended;
    figures.lost[slot] = cameras4_[slot].lost;
  }
  figures.bytes = bytes_;
  figures.writeFailures = writeFailures_;
  dds_publication_matched_status_t matched;
  if (frameWriter_ > 0 && dds_get_publication_matched_status(frameWriter_, &matched) == 0)
    figures.subscribers = static_cast<int>(matched.current_count);
  return figures;
}

}  // namespace kestrova::net
