#include "capture/FreenectSensor.h"

#include <libfreenect.h>
#include <libfreenect_registration.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>

#include "capture/FreenectContext.h"
#include "capture/FreenectFrames.h"
#include "capture/QueuedSensor.h"

namespace kestrova {

namespace {

using Clock = std::chrono::steady_clock;

// A started stream that delivers nothing in this time is not streaming (a
// Kinect's first frame comes well within a second).
constexpr auto kFirstFrameWait = std::chrono::seconds(2);
// While libfreenect reports a dead device, a stream silent this long (nine
// frame periods) is that device's.
constexpr auto kSilentWhenDead = std::chrono::milliseconds(300);

using SetFlagFn = int (*)(freenect_device*, freenect_flag, freenect_flag_value);
using CopyRegistrationFn = freenect_registration (*)(freenect_device*);
using DestroyRegistrationFn = int (*)(freenect_registration*);

std::int64_t MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// The device's geometry, where libfreenect tells it.
struct DeviceGeometry {
  bool known = false;
  double referenceDistance = 0, pixelSize = 0;
};

class FreenectSensor : public QueuedSensor, private FreenectStream {
 public:
  FreenectSensor(int index, std::shared_ptr<FreenectContext> context, FreenectDevice* device, bool wholeFrames)
      : QueuedSensor(index), context_(std::move(context)), device_(device), wholeFrames_(wholeFrames) {}
  ~FreenectSensor() override { NuiShutdown(); }

  HRESULT NuiInitialize(std::uint32_t flags) override {
    if ((flags & NUI_INITIALIZE_FLAG_USES_DEPTH) == 0) return E_INVALIDARG;
    initialised_ = Clock::now();
    return S_OK;
  }

  HRESULT NuiImageStreamOpen(int imageType, int resolution, std::uint32_t streamFlags,
                             std::uint32_t frameLimit, ManualResetEvent*,
                             NuiStreamHandle* stream) override {
    if (imageType != NUI_IMAGE_TYPE_DEPTH || resolution != NUI_IMAGE_RESOLUTION_320x240)
      return E_INVALIDARG;
    if (!ChooseDepthMode()) return E_FAIL;
    if (streamFlags & NUI_IMAGE_STREAM_FLAG_ENABLE_NEAR_MODE) AskForNearMode();
    geometry_ = ReadGeometry();
    HRESULT opened = OpenQueue(frameLimit, FrameQueue::Overflow::DropOldest, false, stream, Format());
    if (!Succeeded(opened)) return opened;
    context_->Attach(device_, this);
    if (freenect_start_depth(device_->device) < 0) {
      context_->Attach(device_, nullptr);
      std::fprintf(stderr, "kestrova: %s could not start its depth stream\n", Name().c_str());
      return E_FAIL;
    }
    context_->StartEvents();
    if (!WaitForFirstFrame()) {
      // freenect_start_depth succeeds even when no transfer could be submitted.
      std::fprintf(stderr,
                   "kestrova: %s is not streaming: no depth frame within %lld s of starting (likely "
                   "cause: USB bandwidth, e.g. two cameras on one USB controller); treated as missing\n",
                   Name().c_str(), static_cast<long long>(kFirstFrameWait.count()));
      freenect_stop_depth(device_->device);  // its transfers hold bandwidth the others need
      context_->Attach(device_, nullptr);
      Queue().Stop();
      return E_NUI_DEVICE_NOT_CONNECTED;
    }
    TellDepthGeometry();
    return S_OK;
  }

  void NuiShutdown() override {
    if (context_) context_->Attach(device_, nullptr);
    QueuedSensor::NuiShutdown();
  }

  std::string NuiUniqueId() const override { return device_->serial; }

 protected:
  void Produce() override { WaitForShutdown(); }  // frames come from libfreenect's callback
  // A lost camera's last frames are from before it went: not handed out.
  HRESULT BeforeFetch() override { return lost_ ? E_NUI_DEVICE_NOT_CONNECTED : S_OK; }

 private:
  std::string Name() const { return context_->CameraName(index_); }

  // Under the device's route lock, on whichever thread libfreenect calls from.
  void OnDepthFrame(const std::uint16_t* depth, std::uint32_t ticks) override {
    if (lost_) return;
    lastFrame_ = Clock::now();
    if (!streaming_) {
      {
        std::lock_guard<std::mutex> lock(firstFrameMutex_);
        firstFrameCame_ = true;
      }
      firstFrame_.notify_all();
    }
    std::unique_ptr<NuiFrameTexture> buffer = Queue().AcquireBuffer();
    if (!buffer) return;
    if (wholeFrames_) {
      (millimetres_ ? CopyDepthFrame : CopyRawDisparityFrame)(depth, buffer->pixels.data());
    } else {
      (millimetres_ ? HalveDepthFrame : HalveRawDisparityFrame)(depth, buffer->pixels.data());
    }
    const std::int64_t hostMs = MillisecondsSince(initialised_);
    if (!unwrapper_) unwrapper_ = std::make_unique<TimeStampUnwrapper>(hostMs);
    NuiTimeStamp stamp;
    stamp.QuadPart = unwrapper_->Milliseconds(ticks, hostMs);
    if (Queue().Publish(std::move(buffer), stamp, frameNumber_++)) SignalFrameEnd();
  }

  // Under the device's route lock, on the event thread.
  bool OnSomeDeviceDead(Clock::time_point now) override {
    if (lost_ || !streaming_) return false;
    if (now - lastFrame_ < kSilentWhenDead) return true;
    lost_ = true;
    std::fprintf(stderr,
                 "kestrova: %s lost: libfreenect marked its USB device dead (unplugged, or its "
                 "cable or hub failed); the other cameras go on\n",
                 Name().c_str());
    Queue().Stop();    // wakes a fetch waiting for this camera: "not connected"
    SignalFrameEnd();  // and a loop waiting for this camera's frame wakes to find out
    return false;
  }

  bool WaitForFirstFrame() {
    std::unique_lock<std::mutex> lock(firstFrameMutex_);
    if (!firstFrame_.wait_for(lock, kFirstFrameWait, [this] { return firstFrameCame_; })) return false;
    streaming_ = true;
    return true;
  }

  // Millimetres at 640 x 480 where the device offers them, else raw disparity.
  bool ChooseDepthMode() {
    const int count = freenect_get_depth_mode_count();
    for (bool wantMillimetres : {true, false}) {
      for (int i = 0; i < count; ++i) {
        freenect_frame_mode mode = freenect_get_depth_mode(i);
        if (!mode.is_valid || mode.resolution != FREENECT_RESOLUTION_MEDIUM) continue;
        const bool mm = mode.depth_format == FREENECT_DEPTH_MM;
        if (mm != wantMillimetres || (!mm && mode.depth_format != FREENECT_DEPTH_11BIT)) continue;
        if (freenect_set_depth_mode(device_->device, mode) < 0) continue;
        millimetres_ = mm;
        return true;
      }
    }
    return false;
  }

  void AskForNearMode() {
    static std::atomic<bool> told{false};
    const SetFlagFn setFlag = OptionalFreenectCall<SetFlagFn>("freenect_set_flag");
    if (setFlag && setFlag(device_->device, FREENECT_NEAR_MODE, FREENECT_ON) >= 0) return;
    if (!told.exchange(true))
      std::fprintf(stderr,
                   "kestrova: camera %d has no near mode (only the Kinect for Windows has); "
                   "going on without it\n",
                   index_ + 1);
  }

  // The device's zero-plane values, where libfreenect tells them.
  DeviceGeometry ReadGeometry() {
    DeviceGeometry geometry;
    const auto copy = OptionalFreenectCall<CopyRegistrationFn>("freenect_copy_registration");
    const auto destroy = OptionalFreenectCall<DestroyRegistrationFn>("freenect_destroy_registration");
    if (!copy || !destroy) return geometry;
    freenect_registration registration = copy(device_->device);
    const freenect_zero_plane_info zeroPlane = registration.zero_plane_info;
    destroy(&registration);
    geometry.known = zeroPlane.reference_distance > 0 && zeroPlane.reference_pixel_size > 0;
    geometry.referenceDistance = zeroPlane.reference_distance;
    geometry.pixelSize = zeroPlane.reference_pixel_size;
    return geometry;
  }

  // The frames this camera delivers. Halved, the default frame and its
  // fixed lens; whole, the device's own lens where it tells its geometry,
  // else the default lens's field of view at 640 x 480.
  DepthFrameFormat Format() const {
    if (!wholeFrames_) return DepthFrameFormat();
    if (!geometry_.known) return ScaledDefaultFormat(kFreenectWidth, kFreenectHeight);
    const double focal =
        1.0 / DeviceInverseFocalLength(geometry_.referenceDistance, geometry_.pixelSize, kFreenectWidth);
    return PackedFormat(kFreenectWidth, kFreenectHeight,
                        {focal, focal, kFreenectWidth / 2.0, kFreenectHeight / 2.0});
  }

  // Once at start: the depth mode, and the device's own geometry against
  // the lens the pipeline uses, where libfreenect tells it.
  void TellDepthGeometry() {
    const char* mode = millimetres_ ? "depth in millimetres"
                                    : "raw disparity converted to millimetres (no millimetre mode)";
    const DepthFrameFormat format = Format();
    const std::string size = SizeText(format.width, format.height);
    if (!geometry_.known) {
      std::fprintf(stderr, "kestrova: %s: %s at %s; the device did not tell its geometry (the pipeline uses %s)\n",
                   Name().c_str(), mode, size.c_str(),
                   wholeFrames_ ? "the default lens's field of view" : "the default lens");
      return;
    }
    std::fprintf(stderr,
                 "kestrova: %s: %s; reference distance %.1f mm, pixel size %.4f mm: inverse focal "
                 "length %.6f at %s (the pipeline uses %.6f%s)\n",
                 Name().c_str(), mode, geometry_.referenceDistance, geometry_.pixelSize,
                 DeviceInverseFocalLength(geometry_.referenceDistance, geometry_.pixelSize, format.width),
                 size.c_str(), 1.0 / format.lens.fx, wholeFrames_ ? ", the device's own" : "");
  }

  std::shared_ptr<FreenectContext> context_;
  FreenectDevice* device_;
  const bool wholeFrames_;  // 640 x 480 as the device gives them, else halved
  DeviceGeometry geometry_;
  bool millimetres_ = true;
  Clock::time_point initialised_ = Clock::now();
  // Frame state: written under the device's route lock.
  std::unique_ptr<TimeStampUnwrapper> unwrapper_;
  std::uint32_t frameNumber_ = 0;
  Clock::time_point lastFrame_ = Clock::now();
  std::atomic<bool> lost_{false};
  std::atomic<bool> streaming_{false};
  std::mutex firstFrameMutex_;
  std::condition_variable firstFrame_;
  bool firstFrameCame_ = false;
};

class FreenectBackend : public SensorBackend {
 public:
  FreenectBackend(std::shared_ptr<FreenectContext> context, bool wholeFrames)
      : context_(std::move(context)), wholeFrames_(wholeFrames) {}
  HRESULT NuiCreateSensorByIndex(int index, std::unique_ptr<INuiSensor>* sensor) override {
    if (sensor == nullptr) return E_INVALIDARG;
    sensor->reset();
    if (index < 0 || index >= context_->CameraCount()) return E_NUI_DEVICE_NOT_CONNECTED;
    FreenectDevice* device = context_->Open(index);
    if (device == nullptr) return E_NUI_DEVICE_NOT_CONNECTED;
    *sensor = std::make_unique<FreenectSensor>(index, context_, device, wholeFrames_);
    return S_OK;
  }
  std::string Name() const override { return "libfreenect"; }

 private:
  std::shared_ptr<FreenectContext> context_;
  const bool wholeFrames_;
};

}  // namespace

std::unique_ptr<SensorBackend> MakeFreenectBackend(bool wholeFrames, std::string* error) {
  std::shared_ptr<FreenectContext> context = FreenectContext::Create(error);
  if (!context) return nullptr;
  if (context->CameraCount() <= 0) {
    *error = "no depth sensor found (no Kinect-class device is connected)";
    return nullptr;
  }
  return std::make_unique<FreenectBackend>(std::move(context), wholeFrames);
}

}  // namespace kestrova
