// The station's side: a machine's local depth cameras published on the
// depth-frame network. One thread per camera fetches its frames, compresses
// them and writes them; the station's announcement lists the cameras, the
// run's random number, the program's version and the frame type. A run
// announces itself first and then listens for another run of its name, so
// that of two runs started at the same moment at most one keeps the name.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "capture/NuiSensor.h"
#include "capture/net/NetDomain.h"
#include "capture/net/StationDirectory.h"

namespace kestrova::net {

constexpr int kNameCheckMs = 1500;  // how long a new station listens for one of its name
constexpr int kNameCheckLimitMs = 3000;  // and at most, while a station found has not announced

struct StationFigures {
  std::array<bool, 4> present{};
  std::array<bool, 4> ended{};         // a replay that has played all its frames
  std::array<bool, 4> lost{};          // the camera stopped answering
  std::array<std::uint64_t, 4> sent{};     // frames written while a recorder listened
  std::array<std::uint64_t, 4> skipped{};  // sensor frames never fetched (gaps in their numbers)
  std::uint64_t bytes = 0;             // compressed pixels written, all cameras
  std::uint64_t writeFailures = 0;
  int subscribers = 0;                 // recorders matched now
};

class Station {
 public:
  explicit Station(std::string name);
  ~Station();
  Station(const Station&) = delete;
  Station& operator=(const Station&) = delete;

  // Opens the backend's sensors, joins `domain` (under DDS Security with the
  // files in `securityDir` unless it is empty), announces the cameras,
  // refuses a name another running station has, then starts sending; false
  // with the reason.
  bool Start(std::unique_ptr<SensorBackend> backend, int domain, const std::string& securityDir,
             std::string* error);
  // Stops sending and leaves the network; recorders see the cameras gone.
  void Stop();

  const std::string& Name() const { return name_; }
  std::uint64_t Run() const { return run_; }
  std::vector<RemoteCamera> Cameras() const { return cameras_; }
  StationFigures Figures() const;

 private:
  struct Camera {
    std::unique_ptr<INuiSensor> sensor;
    NuiStreamHandle stream = kNoStream;
    std::string serial;
    std::thread thread;
    std::atomic<std::uint64_t> sent{0};
    std::atomic<std::uint64_t> skipped{0};
    std::atomic<bool> ended{false};
    std::atomic<bool> lost{false};
  };

  bool OpenCameras(SensorBackend& backend, std::string* error);
  bool Announce(std::string* error);
  bool CheckNameIsFree(std::string* error);
  void Send(int slot);
  bool AnyRecorder() const;

  const std::string name_;
  const std::uint64_t run_;
  std::unique_ptr<SensorBackend> backend_;
  std::array<Camera, 4> cameras4_;
  std::vector<RemoteCamera> cameras_;
  NetDomain domain_;
  dds_entity_t frameWriter_ = 0;
  dds_entity_t announcementWriter_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<std::uint64_t> bytes_{0};
  std::atomic<std::uint64_t> writeFailures_{0};
};

// The machine's host name, or "" when it has none usable.
std::string HostName();

}  // namespace kestrova::net
