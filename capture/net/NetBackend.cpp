#include "capture/net/NetBackend.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <map>
#include <sstream>
#include <thread>

#include "capture/net/NetSensor.h"
#include "settings/Version.h"

namespace kestrova::net {

namespace {

bool ParseNumber(const std::string& text, long low, long high, long* value) {
  if (text.empty() || text.size() > 9) return false;
  char* end = nullptr;
  long v = std::strtol(text.c_str(), &end, 10);
  if (*end != '\0' || v < low || v > high) return false;
  *value = v;
  return true;
}

// A camera of a station run, in a slot of the recorder.
struct ChosenCamera {
  StationInfo station;
  int camera = 0;
  std::string serial;
  DepthFrameFormat format;  // as the station announced it
};

class NetBackend : public SensorBackend {
 public:
  NetBackend(std::shared_ptr<NetReceiver> receiver, std::vector<std::optional<ChosenCamera>> slots)
      : receiver_(std::move(receiver)), slots_(std::move(slots)) {}

  HRESULT NuiCreateSensorByIndex(int index, std::unique_ptr<INuiSensor>* sensor) override {
    if (sensor == nullptr) return E_INVALIDARG;
    sensor->reset();
    if (index < 0 || index >= static_cast<int>(slots_.size()) || !slots_[index])
      return E_NUI_DEVICE_NOT_CONNECTED;
    const ChosenCamera& chosen = *slots_[index];
    *sensor = std::make_unique<NetSensor>(index, receiver_, chosen.station, chosen.camera, chosen.serial,
                                          chosen.format);
    return S_OK;
  }
  std::string Name() const override { return "net"; }

  const std::shared_ptr<NetReceiver>& Receiver() const { return receiver_; }

 private:
  std::shared_ptr<NetReceiver> receiver_;
  std::vector<std::optional<ChosenCamera>> slots_;
};

std::string CameraList(const StationInfo& station) {
  std::string list;
  for (const auto& c : station.cameras) list += (list.empty() ? "" : ", ") + std::to_string(c.camera);
  return list.empty() ? "none" : list;
}

constexpr int kUnsecuredProbeMs = 2000;

// Why a recorder under DDS Security hears no station named `name` (or none
// at all, for ""). Its participant must be gone: one process cannot have
// participants with and without security on one domain. A station that runs
// without security is looked for, and named; any other station is not heard
// for its certificate or its permissions.
std::string SecureSilence(int domain, const std::string& securityDir, const std::string& name) {
  NetDomain plain;
  StationDirectory directory;
  std::string error;
  if (plain.Open(domain, "", &error) && directory.Open(plain, &error)) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kUnsecuredProbeMs);
    while (std::chrono::steady_clock::now() < until) {
      directory.Update();
      for (const StationInfo& run : directory.Alive())
        if (name.empty() || run.name == name)
          return "; station '" + run.name + "' (" + RunText(run) +
                 ") runs without DDS Security: start it with --security and its files from "
                 "scripts/rig-security.sh";
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  return " under DDS Security: only a station whose certificate the rig's CA (" + securityDir +
         "/ca.pem) made and whose permissions let it publish frames is heard";
}

// Stations of another frame type cannot be read, nor their announcements if
// they are from before versions; their writers still show on the domain.
std::string OtherFrameTypesText(const NetReceiver& receiver) {
  std::string text;
  for (int type : receiver.OtherFrameTypes())
    text += "; a station sending frame type " + std::to_string(type) + (type == 1 ? " (from before versions)" : "") +
            " runs on this domain, which this recorder (kestrova " + ProgramVersion() + ", frame type " +
            std::to_string(FrameTypeVersion()) + ") cannot read: run the same version of kestrova on every machine";
  return text;
}

// The runs alive now, by station name.
std::map<std::string, std::vector<StationInfo>> RunsByName(const std::vector<StationInfo>& alive) {
  std::map<std::string, std::vector<StationInfo>> byName;
  for (const StationInfo& run : alive) byName[run.name].push_back(run);
  return byName;
}

// Why station `name` cannot give cameras: two runs of it, or a frame type
// this build cannot read; "" when it can.
std::string Refusal(const std::string& name, const std::vector<StationInfo>& runs,
                    const std::string& where) {
  if (runs.size() > 1) {
    std::string list;
    for (const StationInfo& run : runs) list += (list.empty() ? "" : ", ") + RunText(run);
    return "two stations are named '" + name + "'" + where + " (" + list +
           "); give each station a name of its own with --name";
  }
  if (!runs.empty() && !runs[0].Compatible())
    return "station '" + name + "' (" + RunText(runs[0]) + ") is " + VersionText(runs[0]) +
           "; this recorder is kestrova " + ProgramVersion() + " and reads frame type " +
           std::to_string(FrameTypeVersion()) + " only: run the same version of kestrova on both";
  return "";
}

}  // namespace

bool ValidStationName(const std::string& name) {
  if (name.empty() || name.size() > kestrova_net_MAX_NAME_LENGTH) return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return static_cast<unsigned char>(c) > ' ' && c != 0x7F && c != '/' && c != ',';
  });
}

bool IsNetSpec(const std::string& spec) {
  return spec == "net" || spec.rfind("net:", 0) == 0 || spec.rfind("net,", 0) == 0;
}

bool ParseNetSpec(const std::string& text, NetSpec* spec, std::string* error) {
  *spec = NetSpec();
  if (text.empty()) return true;
  // "net:domain=3" and "net,domain=3" alike.
  if (text[0] != ':' && text[0] != ',') {
    *error = "unknown sensors 'net" + text + "' (use net or net:STATION/C,...)";
    return false;
  }
  std::stringstream items(text.substr(1));
  std::string item;
  bool anySlot = false;
  while (std::getline(items, item, ',')) {
    long number = 0;
    if (item.rfind("domain=", 0) == 0) {
      if (!ParseNumber(item.substr(7), 0, kMaxDomain, &number)) {
        *error = "DDS domain must be 0 to " + std::to_string(kMaxDomain) + ": '" + item + "'";
        return false;
      }
      spec->domain = static_cast<int>(number);
      continue;
    }
    if (item.rfind("security=", 0) == 0) {
      spec->securityDir = item.substr(9);
      if (spec->securityDir.empty()) {
        *error = "security= needs the directory of this machine's security files";
        return false;
      }
      continue;
    }
    anySlot = true;
    if (spec->slots.size() == 4) {
      *error = "more than four remote cameras in 'net" + text + "'";
      return false;
    }
    if (item == "-") {
      spec->slots.push_back(std::nullopt);
      continue;
    }
    const size_t slash = item.rfind('/');
    const std::string station = slash == std::string::npos ? item : item.substr(0, slash);
    if (slash == std::string::npos || !ValidStationName(station) ||
        !ParseNumber(item.substr(slash + 1), 1, 4, &number)) {
      *error = "remote camera '" + item + "' is not STATION/C (C 1 to 4), -, domain=N or security=DIR";
      return false;
    }
    spec->slots.push_back(std::make_pair(station, static_cast<int>(number)));
  }
  spec->automatic = !anySlot;
  return true;
}

std::unique_ptr<SensorBackend> MakeNetBackend(const NetSpec& spec, std::string* error) {
  auto receiver = std::make_shared<NetReceiver>();
  if (!receiver->Start(spec.domain, spec.securityDir, error)) return nullptr;
  const std::string where = " on DDS domain " + std::to_string(spec.domain);

  auto slots = spec.slots;
  if (spec.automatic) {
    receiver->WaitForStations([](const std::vector<StationInfo>&) { return false; },
                              kDiscoveryWaitMs);
  } else {
    auto allFound = [&slots](const std::vector<StationInfo>& stations) {
      for (const auto& slot : slots) {
        if (!slot) continue;
        auto has = [&slot](const StationInfo& s) { return s.name == slot->first && s.HasCamera(slot->second); };
        if (std::none_of(stations.begin(), stations.end(), has)) return false;
      }
      return true;
    };
    receiver->WaitForStations(allFound, kStationWaitMs);
  }
  // A second run of a name may be announced a moment after the first.
  receiver->WaitUntilSettled(kSettleQuietMs, kSettleLimitMs);

  const auto byName = RunsByName(receiver->Stations());
  auto used = [&](const std::string& name) {
    return spec.automatic || std::any_of(slots.begin(), slots.end(),
                                         [&name](const auto& slot) { return slot && slot->first == name; });
  };
  for (const auto& [name, runs] : byName) {
    if (!used(name)) continue;
    const std::string refusal = Refusal(name, runs, where);
    if (refusal.empty()) continue;
    *error = refusal;
    return nullptr;
  }

  if (spec.automatic) {
    for (const auto& [name, runs] : byName) {
      std::vector<RemoteCamera> cameras = runs[0].cameras;
      std::sort(cameras.begin(), cameras.end(),
                [](const RemoteCamera& a, const RemoteCamera& b) { return a.camera < b.camera; });
      for (const auto& camera : cameras)
        if (slots.size() < 4) slots.push_back(std::make_pair(name, camera.camera));
    }
    if (slots.empty()) {
      *error = "no station found" + where + " within " + std::to_string(kDiscoveryWaitMs / 1000) + " s" +
               OtherFrameTypesText(*receiver);
      receiver.reset();
      if (!spec.securityDir.empty()) *error += SecureSilence(spec.domain, spec.securityDir, "");
      return nullptr;
    }
  }

  std::vector<std::optional<ChosenCamera>> chosen;
  for (const auto& slot : slots) {
    chosen.emplace_back();
    if (!slot) continue;
    auto found = byName.find(slot->first);
    if (found == byName.end()) {
      *error = "station '" + slot->first + "' not found" + where + " within " +
               std::to_string(kStationWaitMs / 1000) + " s" + OtherFrameTypesText(*receiver);
      receiver.reset();
      if (!spec.securityDir.empty()) *error += SecureSilence(spec.domain, spec.securityDir, slot->first);
      return nullptr;
    }
    const StationInfo& station = found->second[0];
    const RemoteCamera* camera = nullptr;
    for (const auto& c : station.cameras)
      if (c.camera == slot->second) camera = &c;
    if (!camera) {
      *error = "station '" + slot->first + "' has no camera " + std::to_string(slot->second) +
               " (its cameras: " + CameraList(station) + ")";
      return nullptr;
    }
    const std::string problem = DepthFormatProblem(camera->format);
    if (!problem.empty()) {
      *error = "station '" + slot->first + "' (" + RunText(station) + ") announces camera " +
               std::to_string(camera->camera) + " with " + problem + "; this recorder cannot take its frames";
      return nullptr;
    }
    chosen.back() = ChosenCamera{station, camera->camera, camera->serial, camera->format};
  }
  return std::make_unique<NetBackend>(std::move(receiver), std::move(chosen));
}

std::shared_ptr<NetReceiver> ReceiverOf(const SensorBackend& backend) {
  const auto* net = dynamic_cast<const NetBackend*>(&backend);
  return net ? net->Receiver() : nullptr;
}

}  // namespace kestrova::net
