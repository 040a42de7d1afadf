#include "capture/FreenectContext.h"
#include "capture/ThreadName.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>

#include "settings/Settings.h"

namespace kestrova {

namespace {

using Clock = std::chrono::steady_clock;

using ListAttributesFn = int (*)(freenect_context*, freenect_device_attributes**);
using FreeAttributesFn = void (*)(freenect_device_attributes*);
using OpenBySerialFn = int (*)(freenect_context*, freenect_device**, const char*);

// libfreenect's log callback names only the context.
std::mutex registryMutex;
std::map<freenect_context*, FreenectLog*> logs;

}  // namespace

std::shared_ptr<FreenectContext> FreenectContext::Create(std::string* error) {
  std::shared_ptr<FreenectContext> context(new FreenectContext());
  if (freenect_init(&context->context_, nullptr) < 0 || context->context_ == nullptr) {
    context->context_ = nullptr;
    *error = "no depth sensor found (libfreenect could not reach the USB devices)";
    return nullptr;
  }
  {
    std::lock_guard<std::mutex> lock(registryMutex);
    logs[context->context_] = &context->log_;
  }
  freenect_set_log_callback(context->context_, &FreenectContext::OnLog);
  freenect_set_log_level(context->context_, FREENECT_LOG_WARNING);
  freenect_select_subdevices(context->context_, FREENECT_DEVICE_CAMERA);
  context->ListCameras();
  return context;
}

// Camera n is libfreenect's device n - 1. Opening by serial keeps number,
// serial and device together only while the serial list names every device
// once: libfreenect's list leaves out a device whose serial it cannot read
// (often one this user may not open), and libfreenect 0.5 opens "by serial"
// the device at the serial's position in that list. With one left out, or
// one serial twice, no serial can be trusted to name its device, so the
// cameras are opened by number and none is shown.
void FreenectContext::ListCameras() {
  const int all = freenect_num_devices(context_);
  if (all <= 0) return;
  serials_.assign(std::min(all, kCameraCount), std::string());
  const ListAttributesFn list =
      OptionalFreenectCall<ListAttributesFn>("freenect_list_device_attributes");
  const FreeAttributesFn release =
      OptionalFreenectCall<FreeAttributesFn>("freenect_free_device_attributes");
  freenect_device_attributes* attributes = nullptr;
  if (!list || !release || list(context_, &attributes) < 0) return;
  std::vector<std::string> listed;
  for (freenect_device_attributes* a = attributes; a; a = a->next)
    listed.push_back(a->camera_serial ? a->camera_serial : "");
  release(attributes);
  const std::set<std::string> distinct(listed.begin(), listed.end());
  if (static_cast<int>(listed.size()) != all) {
    std::fprintf(stderr,
                 "kestrova: libfreenect read the serial numbers of %zu of the %d depth cameras (it "
                 "cannot read one this user may not open: see the udev rules in the README); no "
                 "serial is shown, since libfreenect cannot tell which camera lacks one\n",
                 listed.size(), all);
  } else if (distinct.size() != listed.size() || distinct.count("")) {
    std::fprintf(stderr,
                 "kestrova: two depth cameras gave libfreenect the same serial number; no serial is "
                 "shown, and the cameras are numbered in libfreenect's order\n");
  } else {
    for (size_t i = 0; i < serials_.size(); ++i) serials_[i] = listed[i];
    openBySerial_ =
        OptionalFreenectCall<OpenBySerialFn>("freenect_open_device_by_camera_serial") != nullptr;
  }
}

FreenectContext::~FreenectContext() {
  stop_ = true;
  if (events_.joinable()) events_.join();
  for (const auto& device : devices_) {
    freenect_stop_depth(device->device);
    freenect_close_device(device->device);
  }
  if (context_) freenect_shutdown(context_);
  std::lock_guard<std::mutex> lock(registryMutex);
  logs.erase(context_);
}

std::string FreenectContext::CameraName(int index) const {
  const std::string& serial = serials_[index];
  return "camera " + std::to_string(index + 1) + " (serial " + (serial.empty() ? "unknown" : serial) +
         ")";
}

FreenectDevice* FreenectContext::Open(int index) {
  if (index < 0 || index >= CameraCount()) return nullptr;
  freenect_device* device = nullptr;
  log_.TakeRecent();
  const int result = openBySerial_
                         ? OptionalFreenectCall<OpenBySerialFn>("freenect_open_device_by_camera_serial")(
                               context_, &device, serials_[index].c_str())
                         : freenect_open_device(context_, &device, index);
  if (result < 0 || device == nullptr) {
    std::fprintf(stderr, "kestrova: %s could not be opened: %s\n", CameraName(index).c_str(),
                 OpenFailureReason(log_.TakeRecent()).c_str());
    return nullptr;
  }
  auto opened = std::make_unique<FreenectDevice>();
  opened->device = device;
  opened->serial = serials_[index];
  freenect_set_user(device, opened.get());
  freenect_set_depth_callback(device, &FreenectContext::OnDepth);
  std::lock_guard<std::mutex> lock(devicesMutex_);
  devices_.push_back(std::move(opened));
  return devices_.back().get();
}

void FreenectContext::Attach(FreenectDevice* device, FreenectStream* stream) {
  std::lock_guard<std::mutex> lock(device->routeMutex);
  device->stream = stream;
}

void FreenectContext::StartEvents() {
  std::lock_guard<std::mutex> lock(devicesMutex_);
  if (!events_.joinable()) events_ = std::thread(&FreenectContext::ServeEvents, this);
}

void FreenectContext::OnLog(freenect_context* context, freenect_loglevel level, const char* message) {
  if (level > FREENECT_LOG_WARNING || message == nullptr) return;
  std::lock_guard<std::mutex> lock(registryMutex);
  auto found = logs.find(context);
  if (found != logs.end()) found->second->Report(message);
}

void FreenectContext::OnDepth(freenect_device* device, void* depth, std::uint32_t timestamp) {
  auto* opened = static_cast<FreenectDevice*>(freenect_get_user(device));
  if (opened == nullptr) return;
  std::lock_guard<std::mutex> lock(opened->routeMutex);
  if (opened->stream) opened->stream->OnDepthFrame(static_cast<const std::uint16_t*>(depth), timestamp);
}

// libfreenect answers -1 on every call once any device is marked dead, yet
// that call has served the other devices' transfers too. So the loop goes
// straight on: libfreenect queues only about 32 ms of depth transfers, and
// a pause would starve the cameras that still work.
void FreenectContext::ServeEvents() {
  NameThisThread("kv-freenect");
  while (!stop_) {
    timeval timeout{0, 100000};
    if (freenect_process_events_timeout(context_, &timeout) >= 0) continue;
    if (!TellStreamsSomeDeviceDied())
      std::this_thread::sleep_for(std::chrono::milliseconds(10));  // nothing left to serve
  }
}

bool FreenectContext::TellStreamsSomeDeviceDied() {
  const Clock::time_point now = Clock::now();
  std::vector<FreenectDevice*> devices;
  {
    std::lock_guard<std::mutex> lock(devicesMutex_);
    for (const auto& device : devices_) devices.push_back(device.get());
  }
  bool delivering = false;
  for (FreenectDevice* device : devices) {
    std::lock_guard<std::mutex> lock(device->routeMutex);
    if (device->stream && device->stream->OnSomeDeviceDead(now)) delivering = true;
  }
  return delivering;
}

}  // namespace kestrova
