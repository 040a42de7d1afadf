#include "capture/net/NetSensor.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace kestrova::net {

NetSensor::NetSensor(int index, std::shared_ptr<NetReceiver> receiver, std::string station,
                     int camera, std::string serial)
    : QueuedSensor(index),
      receiver_(std::move(receiver)),
      station_(std::move(station)),
      camera_(camera),
      serial_(std::move(serial)),
      decoded_(kDepthPixels) {}

NetSensor::~NetSensor() { NuiShutdown(); }

HRESULT NetSensor::NuiInitialize(std::uint32_t flags) {
  return (flags & NUI_INITIALIZE_FLAG_USES_DEPTH) ? S_OK : E_INVALIDARG;
}

HRESULT NetSensor::NuiImageStreamOpen(int imageType, int resolution, std::uint32_t,
                                      std::uint32_t frameLimit, ManualResetEvent*,
                                      NuiStreamHandle* stream) {
  if (imageType != NUI_IMAGE_TYPE_DEPTH || resolution != NUI_IMAGE_RESOLUTION_320x240)
    return E_INVALIDARG;
  HRESULT result = OpenQueue(frameLimit, FrameQueue::Overflow::DropOldest, false, stream);
  if (Succeeded(result)) {
    receiver_->Subscribe(station_, camera_, this);
    subscribed_ = true;
  }
  return result;
}

void NetSensor::NuiShutdown() {
  // First no more deliveries, then the queue may go.
  if (subscribed_.exchange(false)) receiver_->Unsubscribe(this);
  QueuedSensor::NuiShutdown();
}

std::string NetSensor::NuiUniqueId() const {
  return station_ + "/" + (serial_.empty() ? "cam" + std::to_string(camera_) : serial_);
}

SampleFault NetSensor::Deliver(const kestrova_net_DepthFrameSample& sample) {
  // Decoded aside first: a bad sample must not cost a good frame its buffer.
  SampleFault fault = DecodeFrameSample(sample, decoder_, decoded_.data());
  if (fault != SampleFault::None) return fault;
  if (!HasQueue()) return SampleFault::None;
  std::unique_ptr<NuiFrameTexture> buffer = Queue().AcquireBuffer();
  if (!buffer) return SampleFault::None;  // every buffer held, or shut down: skipped
  std::memcpy(buffer->pixels.data(), decoded_.data(), kDepthPixels * sizeof(std::uint16_t));
  NuiTimeStamp stamp;
  stamp.QuadPart = sample.time_stamp;
  if (Queue().Publish(std::move(buffer), stamp, sample.frame_number)) SignalFrameEnd();
  return SampleFault::None;
}

void NetSensor::StationGone() {
  gone_ = true;
  // Wakes a loop waiting for this camera, so that it learns of the loss.
  SignalFrameEnd();
}

void NetSensor::Produce() { WaitForShutdown(); }

HRESULT NetSensor::BeforeFetch() {
  return gone_ && Queue().Size() == 0 ? E_NUI_DEVICE_NOT_CONNECTED : S_OK;
}

// --- choosing the remote cameras

namespace {

bool ParseNumber(const std::string& text, long low, long high, long* value) {
  if (text.empty() || text.size() > 9) return false;
  char* end = nullptr;
  long v = std::strtol(text.c_str(), &end, 10);
  if (*end != '\0' || v < low || v > high) return false;
  *value = v;
  return true;
}

using Slot = std::optional<std::pair<std::string, int>>;

class NetBackend : public SensorBackend {
 public:
  NetBackend(std::shared_ptr<NetReceiver> receiver, std::vector<Slot> slots,
             std::vector<std::string> serials)
      : receiver_(std::move(receiver)), slots_(std::move(slots)), serials_(std::move(serials)) {}

  HRESULT NuiCreateSensorByIndex(int index, std::unique_ptr<INuiSensor>* sensor) override {
    if (sensor == nullptr) return E_INVALIDARG;
    sensor->reset();
    if (index < 0 || index >= static_cast<int>(slots_.size()) || !slots_[index])
      return E_NUI_DEVICE_NOT_CONNECTED;
    *sensor = std::make_unique<NetSensor>(index, receiver_, slots_[index]->first,
                                          slots_[index]->second, serials_[index]);
    return S_OK;
  }
  std::string Name() const override { return "net"; }

 private:
  std::shared_ptr<NetReceiver> receiver_;
  std::vector<Slot> slots_;
  std::vector<std::string> serials_;
};

const StationInfo* FindStation(const std::vector<StationInfo>& stations, const std::string& name) {
  for (const auto& station : stations)
    if (station.name == name) return &station;
  return nullptr;
}

const RemoteCamera* FindCamera(const StationInfo& station, int camera) {
  for (const auto& c : station.cameras)
    if (c.camera == camera) return &c;
  return nullptr;
}

std::string CameraList(const StationInfo& station) {
  std::string list;
  for (const auto& c : station.cameras) list += (list.empty() ? "" : ", ") + std::to_string(c.camera);
  return list.empty() ? "none" : list;
}

}  // namespace

bool ValidStationName(const std::string& name) {
  if (name.empty() || name.size() > kestrova_net_MAX_NAME_LENGTH) return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return static_cast<unsigned char>(c) > ' ' && c != 0x7F && c != '/' && c != ',';
  });
}

bool ParseNetSpec(const std::string& text, NetSpec* spec, std::string* error) {
  *spec = NetSpec();
  if (text.empty()) return true;
  if (text[0] != ':') {
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
      *error = "remote camera '" + item + "' is not STATION/C (C 1 to 4), - or domain=N";
      return false;
    }
    spec->slots.push_back(std::make_pair(station, static_cast<int>(number)));
  }
  spec->automatic = !anySlot;
  return true;
}

std::unique_ptr<SensorBackend> MakeNetBackend(const NetSpec& spec, std::string* error) {
  auto receiver = std::make_shared<NetReceiver>();
  if (!receiver->Start(spec.domain, error)) return nullptr;
  const std::string where = " on DDS domain " + std::to_string(spec.domain);

  std::vector<Slot> slots = spec.slots;
  if (spec.automatic) {
    receiver->WaitForStations([](const std::vector<StationInfo>&) { return false; },
                              kDiscoveryWaitMs);
  } else {
    auto allFound = [&slots](const std::vector<StationInfo>& stations) {
      for (const auto& slot : slots) {
        if (!slot) continue;
        const StationInfo* station = FindStation(stations, slot->first);
        if (!station || !FindCamera(*station, slot->second)) return false;
      }
      return true;
    };
    receiver->WaitForStations(allFound, kStationWaitMs);
  }

  const auto duplicates = receiver->DuplicateNames();
  for (const auto& [name, hosts] : duplicates) {
    bool used = spec.automatic;
    for (const auto& slot : slots) used = used || (slot && slot->first == name);
    if (!used) continue;
    std::string hostList;
    for (const auto& host : hosts) hostList += (hostList.empty() ? "" : ", ") + host;
    *error = "two stations are named '" + name + "'" + where + " (on " + hostList +
             "); give each station a name of its own with --name";
    return nullptr;
  }

  const std::vector<StationInfo> stations = receiver->Stations();
  if (spec.automatic) {
    for (const auto& station : stations) {
      std::vector<RemoteCamera> cameras = station.cameras;
      std::sort(cameras.begin(), cameras.end(),
                [](const RemoteCamera& a, const RemoteCamera& b) { return a.camera < b.camera; });
      for (const auto& camera : cameras)
        if (slots.size() < 4) slots.push_back(std::make_pair(station.name, camera.camera));
    }
    if (slots.empty()) {
      *error = "no station found" + where + " within " + std::to_string(kDiscoveryWaitMs / 1000) +
               " s";
      return nullptr;
    }
  }

  std::vector<std::string> serials;
  for (const auto& slot : slots) {
    serials.emplace_back();
    if (!slot) continue;
    const StationInfo* station = FindStation(stations, slot->first);
    if (!station) {
      *error = "station '" + slot->first + "' not found" + where + " within " +
               std::to_string(kStationWaitMs / 1000) + " s";
      return nullptr;
    }
    const RemoteCamera* camera = FindCamera(*station, slot->second);
    if (!camera) {
      *error = "station '" + slot->first + "' has no camera " + std::to_string(slot->second) +
               " (its cameras: " + CameraList(*station) + ")";
      return nullptr;
    }
    serials.back() = camera->serial;
  }
  return std::make_unique<NetBackend>(std::move(receiver), std::move(slots), std::move(serials));
}

}  // namespace kestrova::net
