// A fake OpenNI2 driver: OpenNI2 loads it as a plug-in like any camera's
// driver, so the openni2 backend is tested through OpenNI2 itself without
// hardware. Its devices deliver the frames of FakeOniFrames.h; what it
// offers is set by KESTROVA_FAKE_ONI (see there).
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <Driver/OniDriverAPI.h>

#include "tests/support/FakeOniFrames.h"

#define XN_NEW(type, ...) new type(__VA_ARGS__)
#define XN_DELETE(p) delete (p)

namespace {

using namespace kestrova::fakeoni;

struct Config {
  int devices = 2;
  int width = 640, height = 480, fps = 30;
  int vanishDevice = 0, vanishAfter = 0;
  int busyDevice = 0, padDevice = 0, tenthsDevice = 0, noCropDevice = 0;
  int frames = 0;  // 0: no end
};

Config ReadConfig() {
  Config config;
  const char* text = std::getenv("KESTROVA_FAKE_ONI");
  std::string items = text ? text : "";
  std::size_t start = 0;
  while (start < items.size()) {
    std::size_t end = items.find(',', start);
    if (end == std::string::npos) end = items.size();
    const std::string item = items.substr(start, end - start);
    start = end + 1;
    const std::size_t eq = item.find('=');
    if (eq == std::string::npos) continue;
    const std::string key = item.substr(0, eq), value = item.substr(eq + 1);
    if (key == "devices") config.devices = std::atoi(value.c_str());
    if (key == "size") std::sscanf(value.c_str(), "%dx%d", &config.width, &config.height);
    if (key == "fps") config.fps = std::atoi(value.c_str());
    if (key == "vanish") std::sscanf(value.c_str(), "%d@%d", &config.vanishDevice, &config.vanishAfter);
    if (key == "busy") config.busyDevice = std::atoi(value.c_str());
    if (key == "pad") config.padDevice = std::atoi(value.c_str());
    if (key == "tenths") config.tenthsDevice = std::atoi(value.c_str());
    if (key == "nocrop") config.noCropDevice = std::atoi(value.c_str());
    if (key == "frames") config.frames = std::atoi(value.c_str());
  }
  return config;
}

OniDeviceInfo DeviceInfo(int device) {
  OniDeviceInfo info{};
  std::snprintf(info.uri, sizeof info.uri, "kestrova-fake://%d", device);
  std::snprintf(info.vendor, sizeof info.vendor, "Kestrova");
  std::snprintf(info.name, sizeof info.name, "Fake depth camera");
  info.usbVendorId = 0x1d27;
  info.usbProductId = 0x0600 + device;
  return info;
}

class FakeDriver;

class FakeStream : public oni::driver::StreamBase {
 public:
  FakeStream(FakeDriver& driver, int device, const Config& config, std::atomic<int>& sent)
      : driver_(driver), device_(device), config_(config), sent_(sent) {
    mode_.pixelFormat = device == config.tenthsDevice ? ONI_PIXEL_FORMAT_DEPTH_100_UM : ONI_PIXEL_FORMAT_DEPTH_1_MM;
    mode_.resolutionX = config.width;
    mode_.resolutionY = config.height;
    mode_.fps = config.fps;
  }
  ~FakeStream() override { stop(); }

  OniStatus start() override {
    running_ = true;
    thread_ = std::thread(&FakeStream::Run, this);
    return ONI_STATUS_OK;
  }
  void stop() override {
    running_ = false;
    if (thread_.joinable()) thread_.join();
  }

  int getRequiredFrameSize() override { return Stride() * mode_.resolutionY; }

  OniBool isPropertySupported(int id) override {
    return id == ONI_STREAM_PROPERTY_VIDEO_MODE || id == ONI_STREAM_PROPERTY_MIRRORING ||
           id == ONI_STREAM_PROPERTY_HORIZONTAL_FOV || id == ONI_STREAM_PROPERTY_VERTICAL_FOV ||
           id == ONI_STREAM_PROPERTY_MAX_VALUE || id == ONI_STREAM_PROPERTY_MIN_VALUE ||
           id == ONI_STREAM_PROPERTY_STRIDE || (id == ONI_STREAM_PROPERTY_CROPPING && Crops());
  }

  OniStatus setProperty(int id, const void* data, int size) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (id == ONI_STREAM_PROPERTY_MIRRORING && size == sizeof(OniBool)) {
      mirrored_ = *static_cast<const OniBool*>(data) != 0;
      return ONI_STATUS_OK;
    }
    if (id == ONI_STREAM_PROPERTY_CROPPING && Crops() && size == sizeof(OniCropping))
      return static_cast<const OniCropping*>(data)->enabled ? ONI_STATUS_NOT_SUPPORTED : ONI_STATUS_OK;
    if (id == ONI_STREAM_PROPERTY_VIDEO_MODE && size == sizeof(OniVideoMode)) {
      const OniVideoMode& asked = *static_cast<const OniVideoMode*>(data);
      if (asked.pixelFormat != mode_.pixelFormat) return ONI_STATUS_NOT_SUPPORTED;
      const bool offered = (asked.resolutionX == config_.width && asked.resolutionY == config_.height) ||
                           (asked.resolutionX == 320 && asked.resolutionY == 240);
      if (!offered || (asked.fps != 30 && asked.fps != config_.fps)) return ONI_STATUS_NOT_SUPPORTED;
      mode_ = asked;
      return ONI_STATUS_OK;
    }
    return ONI_STATUS_NOT_SUPPORTED;
  }

  OniStatus getProperty(int id, void* data, int* size) override {
    std::lock_guard<std::mutex> lock(mutex_);
    switch (id) {
      case ONI_STREAM_PROPERTY_VIDEO_MODE: return Put(mode_, data, size);
      case ONI_STREAM_PROPERTY_MIRRORING: return Put(static_cast<OniBool>(mirrored_), data, size);
      case ONI_STREAM_PROPERTY_HORIZONTAL_FOV: return Put(HorizontalFov(mode_.resolutionX), data, size);
      case ONI_STREAM_PROPERTY_VERTICAL_FOV:
        return Put(VerticalFov(mode_.resolutionX, mode_.resolutionY), data, size);
      case ONI_STREAM_PROPERTY_MAX_VALUE: return Put(10000, data, size);
      case ONI_STREAM_PROPERTY_MIN_VALUE: return Put(0, data, size);
      case ONI_STREAM_PROPERTY_STRIDE: return Put(Stride(), data, size);
      // Never cropped. OpenNI2's Recorder stores this, and its player
      // plays no frame of a stream whose recording lacks it.
      case ONI_STREAM_PROPERTY_CROPPING:
        if (!Crops()) return ONI_STATUS_NOT_SUPPORTED;
        return Put(OniCropping{FALSE, 0, 0, mode_.resolutionX, mode_.resolutionY}, data, size);
      default: return ONI_STATUS_NOT_SUPPORTED;
    }
  }

 private:
  template <typename T>
  static OniStatus Put(const T& value, void* data, int* size) {
    if (*size < static_cast<int>(sizeof(T))) return ONI_STATUS_BAD_PARAMETER;
    std::memcpy(data, &value, sizeof(T));
    *size = sizeof(T);
    return ONI_STATUS_OK;
  }

  bool Crops() const { return device_ != config_.noCropDevice; }
  int Stride() const { return mode_.resolutionX * 2 + (device_ == config_.padDevice ? 32 : 0); }

  void Run();

  FakeDriver& driver_;
  const int device_;
  const Config config_;
  std::atomic<int>& sent_;  // the device's count of frames handed to OpenNI2
  std::mutex mutex_;
  OniVideoMode mode_;
  bool mirrored_ = true;
  std::atomic<bool> running_{false};
  std::thread thread_;
};

class FakeDevice : public oni::driver::DeviceBase {
 public:
  FakeDevice(FakeDriver& driver, int device, const Config& config) : driver_(driver), device_(device), config_(config) {
    mode_.pixelFormat = device == config.tenthsDevice ? ONI_PIXEL_FORMAT_DEPTH_100_UM : ONI_PIXEL_FORMAT_DEPTH_1_MM;
    mode_.resolutionX = config.width;
    mode_.resolutionY = config.height;
    mode_.fps = config.fps;
    sensor_.sensorType = ONI_SENSOR_DEPTH;
    sensor_.numSupportedVideoModes = 1;
    sensor_.pSupportedVideoModes = &mode_;
  }

  OniStatus getSensorInfoList(OniSensorInfo** sensors, int* count) override {
    *sensors = &sensor_;
    *count = 1;
    return ONI_STATUS_OK;
  }
  oni::driver::StreamBase* createStream(OniSensorType type) override {
    return type == ONI_SENSOR_DEPTH ? new FakeStream(driver_, device_, config_, sent_) : nullptr;
  }
  void destroyStream(oni::driver::StreamBase* stream) override { delete stream; }

  OniBool isPropertySupported(int id) override {
    return id == ONI_DEVICE_PROPERTY_SERIAL_NUMBER || id == kFramesSentProperty;
  }
  OniStatus getProperty(int id, void* data, int* size) override {
    if (id == kFramesSentProperty && *size == sizeof(int)) {
      *static_cast<int*>(data) = sent_;
      return ONI_STATUS_OK;
    }
    if (id != ONI_DEVICE_PROPERTY_SERIAL_NUMBER) return ONI_STATUS_NOT_SUPPORTED;
    char serial[16];
    const int length = std::snprintf(serial, sizeof serial, "FAKE%04d", device_) + 1;
    if (*size < length) return ONI_STATUS_BAD_PARAMETER;
    std::memcpy(data, serial, static_cast<std::size_t>(length));
    *size = length;
    return ONI_STATUS_OK;
  }

 private:
  FakeDriver& driver_;
  const int device_;
  const Config config_;
  OniVideoMode mode_;
  OniSensorInfo sensor_;
  std::atomic<int> sent_{0};
};

class FakeDriver : public oni::driver::DriverBase {
 public:
  explicit FakeDriver(OniDriverServices* services) : DriverBase(services), config_(ReadConfig()) {}

  OniStatus initialize(oni::driver::DeviceConnectedCallback connected,
                       oni::driver::DeviceDisconnectedCallback disconnected,
                       oni::driver::DeviceStateChangedCallback stateChanged, void* cookie) override {
    DriverBase::initialize(connected, disconnected, stateChanged, cookie);
    for (int device = config_.devices; device >= 1; --device) {
      const OniDeviceInfo info = DeviceInfo(device);
      deviceConnected(&info);
    }
    return ONI_STATUS_OK;
  }

  oni::driver::DeviceBase* deviceOpen(const char* uri, const char*) override {
    int device = 0;
    if (std::sscanf(uri, "kestrova-fake://%d", &device) != 1 || device < 1 || device > config_.devices) return nullptr;
    if (device == config_.busyDevice) {
      getServices().errorLoggerAppend("fake camera %d is in use by another program", device);
      return nullptr;
    }
    return new FakeDevice(*this, device, config_);
  }
  void deviceClose(oni::driver::DeviceBase* device) override { delete device; }
  void shutdown() override {}
  OniStatus tryDevice(const char* uri) override {
    return std::strncmp(uri, "kestrova-fake://", 16) == 0 ? ONI_STATUS_OK : ONI_STATUS_ERROR;
  }

  void Vanish(int device) {
    const OniDeviceInfo info = DeviceInfo(device);
    deviceDisconnected(&info);
  }

 private:
  const Config config_;
};

void FakeStream::Run() {
  const auto start = std::chrono::steady_clock::now();
  for (int n = 0; running_; ++n) {
    // A frame comes once it has been taken, a frame's time after the last
    // (OpenNI2 drops a frame sent while it is still starting the stream).
    std::this_thread::sleep_until(start + std::chrono::microseconds(1000000LL * (n + 1) / config_.fps));
    if (!running_) return;
    if (device_ == config_.vanishDevice && n == config_.vanishAfter) {
      driver_.Vanish(device_);
      return;  // an unplugged camera sends nothing more
    }
    if (config_.frames > 0 && n >= config_.frames) continue;  // the thread lives on till the stream stops
    OniFrame* frame = getServices().acquireFrame();
    if (frame == nullptr) continue;
    OniVideoMode mode;
    bool mirrored;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      mode = mode_;
      mirrored = mirrored_;
    }
    const int width = mode.resolutionX, height = mode.resolutionY, stride = Stride();
    for (int v = 0; v < height; ++v) {
      auto* row = reinterpret_cast<std::uint16_t*>(static_cast<char*>(frame->data) + static_cast<std::size_t>(v) * stride);
      for (int u = 0; u < width; ++u) {
        const std::uint16_t mm = DepthMm(device_, n, u, v, width, height);
        const std::uint16_t value =
            mode.pixelFormat == ONI_PIXEL_FORMAT_DEPTH_100_UM ? static_cast<std::uint16_t>(mm * 10) : mm;
        row[mirrored ? width - 1 - u : u] = value;
      }
    }
    frame->dataSize = stride * height;
    frame->sensorType = ONI_SENSOR_DEPTH;
    frame->timestamp = StampUs(device_, n, config_.fps);
    frame->frameIndex = n + 1;
    frame->width = width;
    frame->height = height;
    frame->videoMode = mode;
    frame->croppingEnabled = FALSE;
    frame->cropOriginX = frame->cropOriginY = 0;
    frame->stride = stride;
    raiseNewFrame(frame);  // OpenNI2 hands it to any Recorder before this returns
    getServices().releaseFrame(frame);
    ++sent_;
  }
}

}  // namespace

ONI_EXPORT_DRIVER(FakeDriver)
