#include "capture/OpenNI2Sensor.h"

#include <OniCAPI.h>
#include <sys/stat.h>

#include <cerrno>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>

#include "capture/QueuedSensor.h"
#include "settings/Settings.h"

namespace kestrova {

namespace {

using Clock = std::chrono::steady_clock;

// How often a recording's end is looked for.
constexpr int kFrameWaitMs = 100;
// A recording that gives no frame for this long has ended (OpenNI2 tells
// the end only through the frame count, which a cut-short file may lack).
constexpr auto kRecordingQuiet = std::chrono::seconds(2);

std::string ExtendedError() {
  const char* text = oniGetExtendedError();
  std::string error = text ? text : "";
  // OpenNI2 indents and ends its lines; one line of text is shown.
  for (char& c : error)
    if (c == '\n' || c == '\t') c = ' ';
  error.erase(0, error.find_first_not_of(' '));
  while (!error.empty() && error.back() == ' ') error.pop_back();
  return error.empty() ? "OpenNI2 gave no reason" : error;
}

void Tell(const std::string& text) { std::fprintf(stderr, "kestrova: openni2: %s\n", text.c_str()); }

class OpenNI2Sensor;

// OpenNI2 for the process: initialised once for every backend alive, shut
// down after the last; it routes OpenNI2's disconnect reports to the
// sensor of the device.
class OpenNI2Context {
 public:
  static std::shared_ptr<OpenNI2Context> Get(std::string* error) {
    static std::mutex mutex;
    static std::weak_ptr<OpenNI2Context> current;
    std::lock_guard<std::mutex> lock(mutex);
    std::shared_ptr<OpenNI2Context> context = current.lock();
    if (context) return context;
    if (oniInitialize(ONI_API_VERSION) != ONI_STATUS_OK) {
      *error = "OpenNI2 could not start: " + ExtendedError();
      return nullptr;
    }
    context.reset(new OpenNI2Context());
    current = context;
    return context;
  }

  ~OpenNI2Context() {
    if (callbacks_) oniUnregisterDeviceCallbacks(callbacks_);
    oniShutdown();
  }

  // The sensor told when the device of `uri` disconnects; null to stop.
  void Watch(const std::string& uri, OpenNI2Sensor* sensor) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (sensor)
      watched_[uri] = sensor;
    else
      watched_.erase(uri);
  }

 private:
  OpenNI2Context() {
    OniDeviceCallbacks callbacks{};
    callbacks.deviceDisconnected = &OpenNI2Context::OnDisconnected;
    oniRegisterDeviceCallbacks(&callbacks, this, &callbacks_);
  }
  static void ONI_CALLBACK_TYPE OnDisconnected(const OniDeviceInfo* info, void* cookie);

  OniCallbackHandle callbacks_ = nullptr;
  std::mutex mutex_;
  std::map<std::string, OpenNI2Sensor*> watched_;
};

// One opened device: a camera or a recording.
struct OpenedDevice {
  OniDeviceHandle handle = nullptr;
  std::string uri;
  std::string serial;
  bool recording = false;
};

std::string ReadSerial(OniDeviceHandle device) {
  char serial[ONI_MAX_STR] = {};
  int size = sizeof serial - 1;
  if (oniDeviceGetProperty(device, ONI_DEVICE_PROPERTY_SERIAL_NUMBER, serial, &size) != ONI_STATUS_OK) return "";
  serial[sizeof serial - 1] = '\0';
  return serial;
}

class OpenNI2Sensor : public QueuedSensor {
 public:
  OpenNI2Sensor(int index, std::shared_ptr<OpenNI2Context> context, OpenedDevice device, const OpenNI2Option& spec)
      : QueuedSensor(index), context_(std::move(context)), device_(std::move(device)), spec_(spec) {}
  ~OpenNI2Sensor() override {
    NuiShutdown();
    if (stream_) oniStreamDestroy(stream_);
    if (device_.handle) oniDeviceClose(device_.handle);
  }

  HRESULT NuiInitialize(std::uint32_t flags) override {
    return (flags & NUI_INITIALIZE_FLAG_USES_DEPTH) == 0 ? E_INVALIDARG : S_OK;
  }

  HRESULT NuiImageStreamOpen(int imageType, int resolution, std::uint32_t, std::uint32_t frameLimit,
                             ManualResetEvent*, NuiStreamHandle* stream) override {
    if (imageType != NUI_IMAGE_TYPE_DEPTH || resolution != NUI_IMAGE_RESOLUTION_320x240) return E_INVALIDARG;
    if (stream_ || stream == nullptr) return E_FAIL;
    std::string problem;
    if (!OpenDepthStream(&problem)) {
      Tell(Name() + ": " + problem + "; treated as missing");
      return E_FAIL;
    }
    const HRESULT opened =
        device_.recording ? OpenQueue(frameLimit, FrameQueue::Overflow::Wait, true, stream, format_)
                          : OpenQueue(frameLimit, FrameQueue::Overflow::DropOldest, false, stream, format_);
    if (!Succeeded(opened)) return opened;
    if (!StartDepthStream(&problem)) {
      Tell(Name() + ": " + problem + "; treated as missing");
      QueuedSensor::NuiShutdown();
      return E_FAIL;
    }
    context_->Watch(device_.uri, this);
    return S_OK;
  }

  void NuiShutdown() override {
    if (context_) context_->Watch(device_.uri, nullptr);
    QueuedSensor::NuiShutdown();  // a callback from now on finds the queue stopped
    if (newFrames_) oniStreamUnregisterNewFrameCallback(stream_, newFrames_);
    newFrames_ = nullptr;
    if (stream_) oniStreamStop(stream_);
  }

  std::string NuiUniqueId() const override { return device_.serial; }
  bool NuiStreamEnded() const override { return ended_ && Queue().Size() == 0; }

  // From OpenNI2's disconnect report, on whichever thread OpenNI2 calls from.
  void OnDisconnected() {
    if (lost_.exchange(true)) return;
    Tell(Name() + " lost: OpenNI2 reports the device disconnected (unplugged, or its cable or hub failed); "
         "the other cameras go on");
    Queue().Stop();    // wakes a fetch waiting for this camera: "not connected"
    SignalFrameEnd();  // and a loop waiting for this camera's frame wakes to find out
  }

 protected:
  HRESULT BeforeFetch() override { return lost_ ? E_NUI_DEVICE_NOT_CONNECTED : S_OK; }

  // Frames come through OpenNI2's new-frame callback, a camera's and a
  // recording's alike. (OpenNI2's own wait for frames keeps an entry per
  // waiting thread that outlives the thread, which a later wait or the
  // shutdown may trip over: nothing here waits that way.) This thread only
  // sees a recording to its end.
  void Produce() override {
    if (!device_.recording) return WaitForShutdown();
    while (SleepUntil(Clock::now() + std::chrono::milliseconds(kFrameWaitMs))) {
      const bool allPlayed = frameCount_ > 0 && played_ >= frameCount_;
      if (allPlayed || Clock::now() - Clock::time_point(Clock::duration(lastFrame_.load())) > kRecordingQuiet) break;
    }
    ended_ = true;
    SignalFrameEnd();
  }

 private:
  static void ONI_CALLBACK_TYPE OnNewFrame(OniStreamHandle stream, void* cookie) {
    auto* sensor = static_cast<OpenNI2Sensor*>(cookie);
    OniFrame* frame = nullptr;
    if (oniStreamReadFrame(stream, &frame) != ONI_STATUS_OK || frame == nullptr) return;
    if (!sensor->lost_) sensor->Deliver(*frame);
    oniFrameRelease(frame);
  }

  std::string Name() const {
    return "camera " + std::to_string(index_ + 1) + " (" + (device_.recording ? device_.uri : "serial " + device_.serial) +
           ")";
  }

  bool OpenDepthStream(std::string* problem) {
    if (oniDeviceCreateStream(device_.handle, ONI_SENSOR_DEPTH, &stream_) != ONI_STATUS_OK) {
      *problem = "no depth stream: " + ExtendedError();
      stream_ = nullptr;
      return false;
    }
    OniVideoMode mode{ONI_PIXEL_FORMAT_DEPTH_1_MM, spec_.width, spec_.height, spec_.fps};
    if (device_.recording) {
      const float speed = 1;  // in the recording's own time
      oniDeviceSetProperty(device_.handle, ONI_DEVICE_PROPERTY_PLAYBACK_SPEED, &speed, sizeof speed);
      const OniBool repeat = FALSE;
      oniDeviceSetProperty(device_.handle, ONI_DEVICE_PROPERTY_PLAYBACK_REPEAT_ENABLED, &repeat, sizeof repeat);
      int size = sizeof frameCount_;
      if (oniStreamGetProperty(stream_, ONI_STREAM_PROPERTY_NUMBER_OF_FRAMES, &frameCount_, &size) != ONI_STATUS_OK)
        frameCount_ = 0;
      // OpenNI2's player silently drops every frame of a stream whose
      // cropping was not recorded: such a file would make an empty take.
      OniCropping cropping;
      size = sizeof cropping;
      if (oniStreamGetProperty(stream_, ONI_STREAM_PROPERTY_CROPPING, &cropping, &size) != ONI_STATUS_OK) {
        *problem = "the recording lacks its depth stream's cropping, without which OpenNI2 plays none of its frames "
                   "(the driver it was recorded from does not report cropping)";
        return false;
      }
    } else if (oniStreamSetProperty(stream_, ONI_STREAM_PROPERTY_VIDEO_MODE, &mode, sizeof mode) != ONI_STATUS_OK) {
      *problem = "its depth stream has no mode " + SizeText(mode.resolutionX, mode.resolutionY) + " at " +
                 std::to_string(mode.fps) + " frames a second in millimetres (" + ExtendedError() + ")";
      return false;
    }
    int size = sizeof mode;
    if (oniStreamGetProperty(stream_, ONI_STREAM_PROPERTY_VIDEO_MODE, &mode, &size) != ONI_STATUS_OK) {
      *problem = "its depth stream does not tell its mode (" + ExtendedError() + ")";
      return false;
    }
    if (mode.pixelFormat != ONI_PIXEL_FORMAT_DEPTH_1_MM) {
      *problem = "its depth is not in millimetres (OpenNI2 pixel format " + std::to_string(mode.pixelFormat) + ")";
      return false;
    }
    const OniBool mirroring = FALSE;
    oniStreamSetProperty(stream_, ONI_STREAM_PROPERTY_MIRRORING, &mirroring, sizeof mirroring);
    OniBool mirrored = FALSE;
    size = sizeof mirrored;
    // A device (or a recording) that keeps mirroring has its rows turned back here.
    mirrored_ = oniStreamGetProperty(stream_, ONI_STREAM_PROPERTY_MIRRORING, &mirrored, &size) == ONI_STATUS_OK &&
                mirrored;
    float horizontal = 0, vertical = 0;
    int floatSize = sizeof horizontal;
    const bool fov =
        oniStreamGetProperty(stream_, ONI_STREAM_PROPERTY_HORIZONTAL_FOV, &horizontal, &floatSize) == ONI_STATUS_OK &&
        oniStreamGetProperty(stream_, ONI_STREAM_PROPERTY_VERTICAL_FOV, &vertical, &(floatSize = sizeof vertical)) ==
            ONI_STATUS_OK;
    if (!fov || !(horizontal > 0 && horizontal < 3.1) || !(vertical > 0 && vertical < 3.1)) {
      *problem = "its depth stream does not tell its field of view, so its lens is unknown";
      return false;
    }
    format_ = PackedFormat(mode.resolutionX, mode.resolutionY,
                           LensFromFieldOfView(mode.resolutionX, mode.resolutionY, horizontal, vertical));
    const std::string formatProblem = DepthFormatProblem(format_);
    if (!formatProblem.empty()) {
      *problem = "its depth stream delivers " + formatProblem;
      return false;
    }
    return true;
  }

  // Once the queue is there: frames flow from here on.
  bool StartDepthStream(std::string* problem) {
    lastFrame_ = Clock::now().time_since_epoch().count();
    if (oniStreamRegisterNewFrameCallback(stream_, &OpenNI2Sensor::OnNewFrame, this, &newFrames_) != ONI_STATUS_OK) {
      *problem = "its depth stream takes no frame callback: " + ExtendedError();
      return false;
    }
    if (oniStreamStart(stream_) != ONI_STATUS_OK) {
      *problem = "its depth stream does not start: " + ExtendedError();
      return false;
    }
    return true;
  }

  // Copies one frame into the queue: rows at the frame's own stride,
  // millimetres into bits 3 to 15, mirrored rows turned back.
  void Deliver(const OniFrame& frame) {
    const int width = format_.width, height = format_.height;
    const long long rowBytes = 2LL * width;
    if (frame.width != width || frame.height != height || frame.videoMode.pixelFormat != ONI_PIXEL_FORMAT_DEPTH_1_MM ||
        frame.data == nullptr || frame.stride < rowBytes ||
        static_cast<long long>(frame.stride) * (height - 1) + rowBytes > frame.dataSize) {
      if (!toldBadFrame_.exchange(true))
        Tell(Name() + ": a frame of " + SizeText(frame.width, frame.height) + " where " + SizeText(width, height) +
             " in millimetres were asked for, or cut short; such frames are skipped");
      return;
    }
    std::unique_ptr<NuiFrameTexture> buffer = Queue().AcquireBuffer();
    if (!buffer) return;
    const auto* bytes = static_cast<const std::uint8_t*>(frame.data);
    for (int row = 0; row < height; ++row) {
      const auto* source = reinterpret_cast<const std::uint16_t*>(bytes + static_cast<std::size_t>(row) * frame.stride);
      std::uint16_t* target = buffer->pixels.data() + static_cast<std::size_t>(row) * width;
      if (mirrored_) {
        for (int column = 0; column < width; ++column) target[column] = DepthPixel(source[width - 1 - column]);
      } else {
        for (int column = 0; column < width; ++column) target[column] = DepthPixel(source[column]);
      }
    }
    NuiTimeStamp stamp;
    stamp.QuadPart = static_cast<std::int64_t>(frame.timestamp / 1000);
    if (Queue().Publish(std::move(buffer), stamp, static_cast<std::uint32_t>(frame.frameIndex))) SignalFrameEnd();
    lastFrame_ = Clock::now().time_since_epoch().count();
    ++played_;
  }

  std::shared_ptr<OpenNI2Context> context_;
  OpenedDevice device_;
  const OpenNI2Option spec_;
  OniStreamHandle stream_ = nullptr;
  OniCallbackHandle newFrames_ = nullptr;
  DepthFrameFormat format_;
  bool mirrored_ = false;
  int frameCount_ = 0;
  std::atomic<bool> lost_{false};
  std::atomic<bool> ended_{false};
  std::atomic<int> played_{0};                      // frames of a recording delivered
  std::atomic<Clock::rep> lastFrame_{0};            // when the last came
  std::atomic<bool> toldBadFrame_{false};
};

void ONI_CALLBACK_TYPE OpenNI2Context::OnDisconnected(const OniDeviceInfo* info, void* cookie) {
  auto* context = static_cast<OpenNI2Context*>(cookie);
  std::lock_guard<std::mutex> lock(context->mutex_);
  const auto found = context->watched_.find(info->uri);
  if (found != context->watched_.end()) found->second->OnDisconnected();
}

class OpenNI2Backend : public SensorBackend {
 public:
  OpenNI2Backend(std::shared_ptr<OpenNI2Context> context, std::vector<OpenedDevice> cameras, const OpenNI2Option& spec)
      : context_(std::move(context)), cameras_(std::move(cameras)), spec_(spec) {}
  ~OpenNI2Backend() override {
    for (OpenedDevice& camera : cameras_)
      if (camera.handle) oniDeviceClose(camera.handle);
  }

  HRESULT NuiCreateSensorByIndex(int index, std::unique_ptr<INuiSensor>* sensor) override {
    if (sensor == nullptr) return E_INVALIDARG;
    sensor->reset();
    if (index < 0 || index >= static_cast<int>(cameras_.size()) || !cameras_[index].handle)
      return E_NUI_DEVICE_NOT_CONNECTED;
    *sensor = std::make_unique<OpenNI2Sensor>(index, context_, cameras_[index], spec_);
    cameras_[index].handle = nullptr;  // the sensor's now
    return S_OK;
  }
  std::string Name() const override { return "OpenNI2"; }

 private:
  std::shared_ptr<OpenNI2Context> context_;
  std::vector<OpenedDevice> cameras_;
  const OpenNI2Option spec_;
};

// The devices OpenNI2 lists, opened one by one as their serials are needed.
class DeviceList {
 public:
  DeviceList() {
    OniDeviceInfo* list = nullptr;
    int count = 0;
    if (oniGetDeviceList(&list, &count) == ONI_STATUS_OK) {
      for (int i = 0; i < count; ++i) listed_.push_back({list[i].uri, list[i].vendor, list[i].name});
      oniReleaseDeviceList(list);
    }
    opened_.resize(listed_.size());
    tried_.resize(listed_.size());
  }
  ~DeviceList() {
    for (OpenedDevice& device : opened_)
      if (device.handle) oniDeviceClose(device.handle);
  }

  std::size_t Size() const { return listed_.size(); }

  // Opens device i (once); false with OpenNI2's reason when it cannot.
  bool Open(std::size_t i) {
    if (!tried_[i]) {
      tried_[i] = true;
      OniDeviceHandle handle = nullptr;
      if (oniDeviceOpen(listed_[i].uri.c_str(), &handle) == ONI_STATUS_OK) {
        opened_[i] = {handle, listed_[i].uri, ReadSerial(handle), false};
      } else {
        Tell("device " + listed_[i].uri + " (" + listed_[i].vendor + " " + listed_[i].name +
             ") cannot be opened: " + ExtendedError());
      }
    }
    return opened_[i].handle != nullptr;
  }
  const OpenedDevice& Opened(std::size_t i) const { return opened_[i]; }
  // Hands device i over; the list no longer closes it.
  OpenedDevice Take(std::size_t i) {
    OpenedDevice device = opened_[i];
    opened_[i].handle = nullptr;
    return device;
  }
  int Find(const std::string& uri) const {
    for (std::size_t i = 0; i < listed_.size(); ++i)
      if (listed_[i].uri == uri) return static_cast<int>(i);
    return -1;
  }
  std::string Serials() {
    std::string text;
    for (std::size_t i = 0; i < Size(); ++i)
      if (Open(i)) text += (text.empty() ? "" : ", ") + (opened_[i].serial.empty() ? listed_[i].uri : opened_[i].serial);
    return text.empty() ? "none" : text;
  }

 private:
  struct Listed {
    std::string uri, vendor, name;
  };
  std::vector<Listed> listed_;
  std::vector<OpenedDevice> opened_;
  std::vector<bool> tried_;
};

// Every device found, by serial (a device without one after those with).
std::vector<OpenedDevice> EveryCamera(DeviceList& list) {
  std::vector<std::size_t> order;
  for (std::size_t i = 0; i < list.Size(); ++i)
    if (list.Open(i)) order.push_back(i);
  std::stable_sort(order.begin(), order.end(), [&list](std::size_t a, std::size_t b) {
    const std::string &x = list.Opened(a).serial, &y = list.Opened(b).serial;
    return !x.empty() && (y.empty() || x < y);
  });
  if (order.size() > static_cast<std::size_t>(kCameraCount))
    Tell(std::to_string(order.size()) + " depth cameras found; the first " + std::to_string(kCameraCount) +
         " by serial are used");
  std::vector<OpenedDevice> cameras;
  for (std::size_t k = 0; k < order.size() && k < static_cast<std::size_t>(kCameraCount); ++k)
    cameras.push_back(list.Take(order[k]));
  return cameras;
}

// The named device: a recording, a URI OpenNI2 lists, or a serial.
OpenedDevice NamedCamera(DeviceList& list, const std::string& name, int camera) {
  const std::string which = "camera " + std::to_string(camera);
  if (IsOniFile(name)) {
    OpenedDevice device;
    // What the file driver would only call "couldn't open", said plainly.
    struct stat file;
    if (stat(name.c_str(), &file) != 0) {
      Tell(which + ": the recording " + name + " cannot be played: " + std::strerror(errno));
      return OpenedDevice();
    }
    if (!S_ISREG(file.st_mode)) {
      Tell(which + ": the recording " + name + " cannot be played: not a regular file");
      return OpenedDevice();
    }
    if (oniDeviceOpen(name.c_str(), &device.handle) != ONI_STATUS_OK) {
      Tell(which + ": the recording " + name + " cannot be played: " + ExtendedError());
      return OpenedDevice();
    }
    device.uri = name;
    device.serial = ReadSerial(device.handle);
    if (device.serial.empty()) device.serial = name;
    device.recording = true;
    return device;
  }
  const int listed = list.Find(name);
  if (listed >= 0) return list.Open(static_cast<std::size_t>(listed)) ? list.Take(static_cast<std::size_t>(listed))
                                                                      : OpenedDevice();
  for (std::size_t i = 0; i < list.Size(); ++i)
    if (list.Open(i) && list.Opened(i).serial == name) return list.Take(i);
  Tell(which + ": no OpenNI2 device has the URI or serial '" + name + "' (serials found: " + list.Serials() + ")");
  return OpenedDevice();
}

}  // namespace

std::unique_ptr<SensorBackend> MakeOpenNI2Backend(const OpenNI2Option& spec, std::string* error) {
  std::shared_ptr<OpenNI2Context> context = OpenNI2Context::Get(error);
  if (!context) return nullptr;
  std::vector<OpenedDevice> cameras;
  {
    DeviceList list;
    if (spec.devices.empty()) {
      cameras = EveryCamera(list);
    } else {
      for (std::size_t i = 0; i < spec.devices.size(); ++i)
        cameras.push_back(NamedCamera(list, spec.devices[i], static_cast<int>(i) + 1));
    }
  }
  if (std::none_of(cameras.begin(), cameras.end(), [](const OpenedDevice& d) { return d.handle != nullptr; })) {
    *error = spec.devices.empty() ? "no depth sensor found (OpenNI2 lists no camera that opens)"
                                  : "no depth sensor found (none of the OpenNI2 cameras or recordings named opens)";
    return nullptr;
  }
  return std::make_unique<OpenNI2Backend>(std::move(context), std::move(cameras), spec);
}

}  // namespace kestrova
