// A hostile program on the depth-frame network, for tests: it joins a
// domain without security, copies the identity a running station announces
// and writes frames under that station's name, run and camera, or announces
// a station of its own.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#include "capture/net/NetDomain.h"
#include "capture/net/StationDirectory.h"

namespace kestrova::testing {

class Impostor {
 public:
  explicit Impostor(int domain);
  ~Impostor();
  Impostor(const Impostor&) = delete;
  Impostor& operator=(const Impostor&) = delete;

  // Waits at most `timeoutMs` for station `name` and copies its run; false
  // when it was not found.
  bool CopyRunOf(const std::string& name, int timeoutMs);
  std::uint64_t Run() const { return run_; }

  // Announces a station `name` with run `run` and one camera, from here.
  void Announce(const std::string& name, std::uint64_t run);

  // Writes frames of camera `camera` of station `name` under the run copied
  // or announced, `perSecond` a second, until destroyed: a flat wall, frame
  // numbers and time stamps running backwards from far above a station's.
  void StartFrames(const std::string& name, int camera, int perSecond);
  // Disposes of that camera's instance, as if its station had withdrawn it.
  void Dispose(const std::string& name, int camera);
  std::uint64_t FramesWritten() const { return written_; }

 private:
  void WriteFrames(std::string name, int camera, int perSecond);

  net::NetDomain domain_;
  net::StationDirectory directory_;
  dds_entity_t frameWriter_ = 0;
  dds_entity_t announcementWriter_ = 0;
  std::uint64_t run_ = 0;
  std::thread thread_;
  std::atomic<bool> stopping_{false};
  std::atomic<std::uint64_t> written_{0};
};

}  // namespace kestrova::testing
