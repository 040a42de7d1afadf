#include "tests/support/Impostor.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <vector>

#include "capture/net/FrameSample.h"
#include "settings/Version.h"

namespace kestrova::testing {

Impostor::Impostor(int domain) {
  std::string error;
  EXPECT_TRUE(domain_.Open(domain, "", &error)) << error;
  EXPECT_TRUE(directory_.Open(domain_, &error)) << error;
  frameWriter_ = domain_.CreateFrameWriter();
  announcementWriter_ = domain_.CreateAnnouncementWriter();
  EXPECT_GT(frameWriter_, 0);
  EXPECT_GT(announcementWriter_, 0);
}

Impostor::~Impostor() {
  stopping_ = true;
  if (thread_.joinable()) thread_.join();
}

bool Impostor::CopyRunOf(const std::string& name, int timeoutMs) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < until) {
    directory_.Update();
    for (const net::StationInfo& station : directory_.Alive()) {
      if (station.name != name) continue;
      run_ = station.run;
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

void Impostor::Announce(const std::string& name, std::uint64_t run) {
  run_ = run;
  kestrova_net_CameraInfo camera{};
  camera.camera = 1;
  std::strcpy(camera.serial, "SIM0001");
  // A simulated camera's frames: the default size and lens.
  camera.width = 320, camera.height = 240;
  camera.fx = camera.fy = 1 / double(0.003501f);
  camera.cx = 160, camera.cy = 120;
  kestrova_net_StationAnnouncement announcement{};
  net::SetSampleText(name, announcement.station);
  std::strcpy(announcement.host, "impostor");
  net::SetSampleText(ProgramVersion(), announcement.version);
  announcement.run = run;
  announcement.frame_type = static_cast<std::uint16_t>(net::FrameTypeVersion());
  announcement.cameras._buffer = &camera;
  announcement.cameras._length = announcement.cameras._maximum = 1;
  EXPECT_EQ(dds_write(announcementWriter_, &announcement), 0);
}

void Impostor::StartFrames(const std::string& name, int camera, int perSecond) {
  thread_ = std::thread(&Impostor::WriteFrames, this, name, camera, perSecond);
}

void Impostor::WriteFrames(std::string name, int camera, int perSecond) {
  const std::vector<std::uint16_t> wall(kDefaultDepthPixels, 800 << 3);
  net::FrameSampleEncoder encoder;
  const auto period = std::chrono::microseconds(1000000 / perSecond);
  auto next = std::chrono::steady_clock::now();
  for (std::uint32_t k = 0; !stopping_; ++k) {
    NuiImageFrame frame;
    frame.dwFrameNumber = 1000000 - k;
    frame.liTimeStamp.QuadPart = 5000000000LL - 7LL * k;
    kestrova_net_DepthFrameSample sample{};
    std::string error;
    if (encoder.Fill(name, run_, camera, "SIM000" + std::to_string(camera), frame,
                     DepthFrameView{wall.data(), DepthFrameFormat()}, &sample, &error) &&
        dds_write(frameWriter_, &sample) == 0)
      ++written_;
    next += period;
    std::this_thread::sleep_until(next);
  }
}

void Impostor::Dispose(const std::string& name, int camera) {
  kestrova_net_DepthFrameSample key{};
  net::SetSampleText(name, key.station);
  key.run = run_;
  key.camera = static_cast<std::uint16_t>(camera);
  EXPECT_EQ(dds_dispose(frameWriter_, &key), 0);
}

}  // namespace kestrova::testing
