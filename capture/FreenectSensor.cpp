#include "capture/FreenectSensor.h"

#include <dlfcn.h>
#include <libfreenect.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

#include "capture/FreenectFrames.h"
#include "capture/QueuedSensor.h"
#include "core/Settings.h"

namespace kestrova {

namespace {

using Clock = std::chrono::steady_clock;

// Calls that not every libfreenect build has (the fake device library lacks
// them): looked up at run time, so a missing one is skipped, not fatal.
using SetFlagFn = int (*)(freenect_device*, freenect_flag, freenect_flag_value);
using ListAttributesFn = int (*)(freenect_context*, freenect_device_attributes**);
using FreeAttributesFn = void (*)(freenect_device_attributes*);

template <class Fn>
Fn Optional(const char* name) {
  return reinterpret_cast<Fn>(dlsym(RTLD_DEFAULT, name));
}

class FreenectSensor;

// The libfreenect context, its devices and the one event thread.
class FreenectContext {
 public:
  static std::shared_ptr<FreenectContext> Create(std::string* error);
  ~FreenectContext();

  int DeviceCount() { return freenect_num_devices(context_); }
  std::string Serial(int index) const { return index < static_cast<int>(serials_.size()) ? serials_[index] : ""; }
  freenect_device* Open(int index);
  // Routes a device's frames to `sensor`; nullptr stops them. Once this
  // returns, no frame is being handed to the previous sensor.
  void Attach(freenect_device* device, FreenectSensor* sensor);
  void StartEvents();

 private:
  FreenectContext() = default;
  static void OnDepth(freenect_device* device, void* depth, std::uint32_t timestamp);
  void ProcessEvents();

  freenect_context* context_ = nullptr;
  std::vector<std::string> serials_;
  std::vector<freenect_device*> devices_;
  std::mutex routeMutex_;
  std::thread events_;
  std::atomic<bool> stop_{false};
};

class FreenectSensor : public QueuedSensor {
 public:
  FreenectSensor(int index, std::shared_ptr<FreenectContext> context, freenect_device* device)
      : QueuedSensor(index), context_(std::move(context)), device_(device) {}
  ~FreenectSensor() override { NuiShutdown(); }

  HRESULT NuiInitialize(std::uint32_t flags) override {
    if ((flags & NUI_INITIALIZE_FLAG_USES_DEPTH) == 0) return E_INVALIDARG;
    initialised_ = Clock::now();
    return S_OK;
  }

  HRESULT NuiImageStreamOpen(int imageType, int resolution, std::uint32_t streamFlags,
                             std::uint32_t frameLimit, ManualResetEvent*, NuiStreamHandle* stream) override {
    if (imageType != NUI_IMAGE_TYPE_DEPTH || resolution != NUI_IMAGE_RESOLUTION_320x240)
      return E_INVALIDARG;
    if (!ChooseDepthMode()) return E_FAIL;
    if (streamFlags & NUI_IMAGE_STREAM_FLAG_ENABLE_NEAR_MODE) AskForNearMode();
    HRESULT opened = OpenQueue(frameLimit, FrameQueue::Overflow::DropOldest, false, stream);
    if (!Succeeded(opened)) return opened;
    context_->Attach(device_, this);
    if (freenect_start_depth(device_) < 0) {
      context_->Attach(device_, nullptr);
      return E_FAIL;
    }
    context_->StartEvents();
    return S_OK;
  }

  void NuiShutdown() override {
    if (context_) context_->Attach(device_, nullptr);
    QueuedSensor::NuiShutdown();
  }

  std::string NuiUniqueId() const override { return context_->Serial(index_); }

  // On the event thread: one 640 x 480 frame.
  void Deliver(const std::uint16_t* depth, std::uint32_t ticks) {
    std::unique_ptr<NuiFrameTexture> buffer = Queue().AcquireBuffer();
    if (!buffer) return;
    if (millimetres_) {
      HalveDepthFrame(depth, buffer->pixels.data());
    } else {
      HalveRawDisparityFrame(depth, buffer->pixels.data());
    }
    if (!unwrapper_) {
      const auto sinceInit = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - initialised_);
      unwrapper_ = std::make_unique<TimeStampUnwrapper>(sinceInit.count());
    }
    NuiTimeStamp stamp;
    stamp.QuadPart = unwrapper_->Milliseconds(ticks);
    if (Queue().Publish(std::move(buffer), stamp, frameNumber_++)) SignalFrameEnd();
  }

 protected:
  void Produce() override { WaitForShutdown(); }  // frames come from the event thread

 private:
  // Millimetres at 640 x 480 where the device offers them, else raw disparity.
  bool ChooseDepthMode() {
    const int count = freenect_get_depth_mode_count();
    for (bool wantMillimetres : {true, false}) {
      for (int i = 0; i < count; ++i) {
        freenect_frame_mode mode = freenect_get_depth_mode(i);
        if (!mode.is_valid || mode.resolution != FREENECT_RESOLUTION_MEDIUM) continue;
        const bool mm = mode.depth_format == FREENECT_DEPTH_MM;
        if (mm != wantMillimetres || (!mm && mode.depth_format != FREENECT_DEPTH_11BIT)) continue;
        if (freenect_set_depth_mode(device_, mode) < 0) continue;
        millimetres_ = mm;
        return true;
      }
    }
    return false;
  }

  void AskForNearMode() {
    static std::atomic<bool> told{false};
    const SetFlagFn setFlag = Optional<SetFlagFn>("freenect_set_flag");
    if (setFlag && setFlag(device_, FREENECT_NEAR_MODE, FREENECT_ON) >= 0) return;
    if (!told.exchange(true))
      std::fprintf(stderr, "kestrova: camera %d has no near mode (only the Kinect for Windows has); "
                           "going on without it\n", index_ + 1);
  }

  std::shared_ptr<FreenectContext> context_;
  freenect_device* device_;
  bool millimetres_ = true;
  Clock::time_point initialised_ = Clock::now();
  std::unique_ptr<TimeStampUnwrapper> unwrapper_;
  std::uint32_t frameNumber_ = 0;
};

std::shared_ptr<FreenectContext> FreenectContext::Create(std::string* error) {
  std::shared_ptr<FreenectContext> context(new FreenectContext());
  if (freenect_init(&context->context_, nullptr) < 0 || context->context_ == nullptr) {
    context->context_ = nullptr;
    *error = "no depth sensor found (libfreenect could not reach the USB devices)";
    return nullptr;
  }
  freenect_set_log_level(context->context_, FREENECT_LOG_FATAL);
  freenect_select_subdevices(context->context_, FREENECT_DEVICE_CAMERA);
  const ListAttributesFn list = Optional<ListAttributesFn>("freenect_list_device_attributes");
  const FreeAttributesFn release = Optional<FreeAttributesFn>("freenect_free_device_attributes");
  freenect_device_attributes* attributes = nullptr;
  if (list && release && list(context->context_, &attributes) >= 0) {
    for (freenect_device_attributes* a = attributes; a; a = a->next)
      context->serials_.push_back(a->camera_serial ? a->camera_serial : "");
    release(attributes);
  }
  return context;
}

FreenectContext::~FreenectContext() {
  stop_ = true;
  if (events_.joinable()) events_.join();
  for (freenect_device* device : devices_) {
    freenect_stop_depth(device);
    freenect_close_device(device);
  }
  if (context_) freenect_shutdown(context_);
}

freenect_device* FreenectContext::Open(int index) {
  freenect_device* device = nullptr;
  if (freenect_open_device(context_, &device, index) < 0 || device == nullptr) return nullptr;
  freenect_set_user(device, nullptr);
  freenect_set_depth_callback(device, &FreenectContext::OnDepth);
  devices_.push_back(device);
  return device;
}

void FreenectContext::Attach(freenect_device* device, FreenectSensor* sensor) {
  std::lock_guard<std::mutex> lock(routeMutex_);
  freenect_set_user(device, sensor);
}

void FreenectContext::StartEvents() {
  std::lock_guard<std::mutex> lock(routeMutex_);
  if (!events_.joinable()) events_ = std::thread(&FreenectContext::ProcessEvents, this);
}

// The user pointer of a device is its sensor; the route lock keeps a sensor
// that is being shut down from receiving a frame half-way
// (frames arrive inside ProcessEvents, which holds the route lock.)
void FreenectContext::OnDepth(freenect_device* device, void* depth, std::uint32_t timestamp) {
  auto* sensor = static_cast<FreenectSensor*>(freenect_get_user(device));
  if (sensor) sensor->Deliver(static_cast<const std::uint16_t*>(depth), timestamp);
}

void FreenectContext::ProcessEvents() {
  int failures = 0;
  while (!stop_) {
    timeval timeout{0, 100000};
    std::unique_lock<std::mutex> lock(routeMutex_);
    const int result = freenect_process_events_timeout(context_, &timeout);
    lock.unlock();
    if (result >= 0) {
      failures = 0;
      continue;
    }
    // A device unplugged (or a recording played to its end): its frames
    // stop, the recorder's bounded waits notice. Stop asking after a while.
    if (++failures == 20) {
      std::fprintf(stderr, "kestrova: libfreenect stopped delivering events; the depth cameras are gone\n");
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

class FreenectBackend : public SensorBackend {
 public:
  explicit FreenectBackend(std::shared_ptr<FreenectContext> context) : context_(std::move(context)) {}
  HRESULT NuiCreateSensorByIndex(int index, std::unique_ptr<INuiSensor>* sensor) override {
    if (sensor == nullptr) return E_INVALIDARG;
    sensor->reset();
    if (index < 0 || index >= kCameraCount || index >= context_->DeviceCount())
      return E_NUI_DEVICE_NOT_CONNECTED;
    freenect_device* device = context_->Open(index);
    if (device == nullptr) return E_NUI_DEVICE_NOT_CONNECTED;
    *sensor = std::make_unique<FreenectSensor>(index, context_, device);
    return S_OK;
  }
  std::string Name() const override { return "libfreenect"; }

 private:
  std::shared_ptr<FreenectContext> context_;
};

}  // namespace

std::unique_ptr<SensorBackend> MakeFreenectBackend(std::string* error) {
  std::shared_ptr<FreenectContext> context = FreenectContext::Create(error);
  if (!context) return nullptr;
  if (context->DeviceCount() <= 0) {
    *error = "no depth sensor found (no Kinect-class device is connected)";
    return nullptr;
  }
  return std::make_unique<FreenectBackend>(std::move(context));
}

}  // namespace kestrova
