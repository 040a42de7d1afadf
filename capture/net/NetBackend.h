// Choosing remote cameras: the "net" text of --sensors, and the backend
// whose sensors are the cameras it names, each bound to the one station run
// found for it.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "capture/NuiSensor.h"
#include "capture/net/NetReceiver.h"

namespace kestrova::net {

// What follows "net" in a --sensors text.
struct NetSpec {
  int domain = kDefaultDomain;
  std::string securityDir;  // empty: no DDS Security
  // No camera listed: the first four found, by station name and camera.
  bool automatic = true;
  // Slot by slot: station and camera number, or nothing for an empty slot.
  std::vector<std::optional<std::pair<std::string, int>>> slots;
};

// True for a --sensors text of remote cameras: "net", "net:..." or "net,...".
bool IsNetSpec(const std::string& spec);

// Parses "" (after "net") or ":ITEM,ITEM,..." (or ",ITEM,...") with items
// STATION/C, -, domain=N and security=DIR; false with the reason.
bool ParseNetSpec(const std::string& text, NetSpec* spec, std::string* error);

// True for a name a station may have: 1 to 64 printable characters, none
// of them a space, '/' or ','.
bool ValidStationName(const std::string& name);

constexpr int kDiscoveryWaitMs = 2000;  // how long `net` alone looks for cameras
constexpr int kStationWaitMs = 3000;    // how long a listed station may take to answer
// Once found, the stations must stay the same this long (waiting at most
// the limit), so that a second run of a name is seen before the take.
constexpr int kSettleQuietMs = 500;
constexpr int kSettleLimitMs = 2000;

// The remote cameras of `spec`, found on the network; nullptr with a reason
// naming the station that is missing, claimed twice or of a frame type this
// build cannot read.
std::unique_ptr<SensorBackend> MakeNetBackend(const NetSpec& spec, std::string* error);

// The receiver of a backend of remote cameras, for what it reports; null
// for any other backend.
std::shared_ptr<NetReceiver> ReceiverOf(const SensorBackend& backend);

}  // namespace kestrova::net
