// A stand-in for libfreenect 0.5.3 (built as libfreenect.so.0.5) that fails
// the way cameras on a real USB bus do, for tests without hardware. It keeps
// the library's calls, results and log messages where the backend depends on
// them. The cameras on the bus come from FREENECT_STANDIN, read at
// freenect_init: words separated by spaces, K being a camera's position on
// the bus (1..):
//   devices=N     N cameras (default 1), serials "SERIAL-K"
//   noserial=K    camera K's serial cannot be read: the serial list skips it
//   zeroserial=K  camera K's serial reads 0000000000000000 (as a Kinect for
//                 Windows' camera when its audio device gives no serial)
//   denied=K      this user may not open camera K (LIBUSB_ERROR_ACCESS); its
//                 serial cannot be read either
//   busy=K        another program holds camera K: its interface cannot be claimed
//   silent=K      camera K's stream starts, but no transfer can be submitted
//                 (USB bandwidth): it logs warnings and delivers nothing
//   dead=K@F      camera K is unplugged after F frames
//   stepback=K@F  camera K's clock steps back 10 ms at frame F
//   raw           no millimetre mode, only raw 11-bit disparity
// Camera K's depth is 1000 * K mm everywhere (raw: 500 + 100 * K), so a test
// can tell which device a frame came from. Frames come at 30 Hz, 2 000 000
// ticks of the 60 MHz clock apart, from start ticks 4 294 000 000 (the clock
// wraps after the first frame). As on the bus, only about 32 ms of transfers
// wait for event processing: frames due longer than that after the previous
// call are lost.
#include <libfreenect.h>
#include <libfreenect_registration.h>

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kFramePeriod = std::chrono::microseconds(33333);
constexpr auto kBuffered = std::chrono::milliseconds(32);
constexpr auto kTransferPeriod = std::chrono::milliseconds(4);  // a transfer completes this often
constexpr std::uint32_t kTicksPerFrame = 2000000;
constexpr std::uint32_t kStepBackTicks = 600000;  // 10 ms
constexpr int kMaxDevices = 8;

struct Camera {
  bool noSerial = false, zeroSerial = false, denied = false, busy = false, silent = false;
  int deadAfter = -1, stepBackAt = -1;
};

struct Bus {
  int count = 1;
  bool raw = false;
  Camera cameras[kMaxDevices];
};

// Frames handed to callbacks and frames lost for want of event processing,
// per bus position, for the tests to compare with what the sensors got.
int delivered[kMaxDevices + 1];
int missed[kMaxDevices + 1];

// libusb handles events on one thread at a time: callbacks never overlap.
std::recursive_mutex eventLock;

bool ParseAt(const std::string& value, int* camera, int* frame) {
  return std::sscanf(value.c_str(), "%d@%d", camera, frame) == 2 && *camera >= 1 &&
         *camera <= kMaxDevices;
}

Bus ReadBus() {
  Bus bus;
  const char* text = std::getenv("FREENECT_STANDIN");
  std::istringstream words(text ? text : "");
  std::string word;
  while (words >> word) {
    const size_t eq = word.find('=');
    const std::string key = word.substr(0, eq);
    const std::string value = eq == std::string::npos ? "" : word.substr(eq + 1);
    const int k = std::atoi(value.c_str());
    int camera = 0, frame = 0;
    Camera* c = k >= 1 && k <= kMaxDevices ? &bus.cameras[k - 1] : nullptr;
    if (key == "devices")
      bus.count = std::min(std::max(k, 0), kMaxDevices);
    else if (key == "raw")
      bus.raw = true;
    else if (key == "noserial" && c)
      c->noSerial = true;
    else if (key == "zeroserial" && c)
      c->zeroSerial = true;
    else if (key == "denied" && c)
      c->denied = true;
    else if (key == "busy" && c)
      c->busy = true;
    else if (key == "silent" && c)
      c->silent = true;
    else if (key == "dead" && ParseAt(value, &camera, &frame))
      bus.cameras[camera - 1].deadAfter = frame;
    else if (key == "stepback" && ParseAt(value, &camera, &frame))
      bus.cameras[camera - 1].stepBackAt = frame;
    else
      std::fprintf(stderr, "freenect stand-in: unknown word '%s'\n", word.c_str());
  }
  return bus;
}

freenect_frame_mode DepthMode(freenect_depth_format format) {
  freenect_frame_mode mode{};
  mode.reserved = static_cast<std::uint32_t>(format);
  mode.resolution = FREENECT_RESOLUTION_MEDIUM;
  mode.depth_format = format;
  mode.bytes = 640 * 480 * 2;
  mode.width = 640;
  mode.height = 480;
  mode.data_bits_per_pixel = format == FREENECT_DEPTH_MM ? 16 : 11;
  mode.padding_bits_per_pixel = format == FREENECT_DEPTH_MM ? 0 : 5;
  mode.framerate = 30;
  mode.is_valid = 1;
  return mode;
}

}  // namespace

struct _freenect_context {
  Bus bus;
  freenect_loglevel level = FREENECT_LOG_WARNING;
  freenect_log_cb log = nullptr;
  std::vector<freenect_device*> opened;
};

struct _freenect_device {
  freenect_context* context = nullptr;
  int position = 0;  // 1..
  void* user = nullptr;
  freenect_depth_cb depthCallback = nullptr;
  freenect_depth_format format = FREENECT_DEPTH_11BIT;
  bool streaming = false;
  bool dead = false;
  int frames = 0;
  Clock::time_point due, servedUntil;
  std::uint32_t ticks = 0;
  std::vector<std::uint16_t> depth = std::vector<std::uint16_t>(640 * 480);
};

namespace {

void Log(freenect_context* context, freenect_loglevel level, const char* format, ...) {
  if (level > context->level) return;
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (context->log) {
    context->log(context, level, text);
  } else {
    std::fputs(text, stderr);
  }
}

const Camera& CameraOf(freenect_device* device) {
  return device->context->bus.cameras[device->position - 1];
}

// Hands over the frames that came since the last call and are still held
// in transfers; the rest are lost. Then a device due to be unplugged goes.
void Serve(freenect_context* context, Clock::time_point now) {
  for (freenect_device* device : context->opened) {
    const Camera& camera = CameraOf(device);
    while (device->streaming && device->due <= now) {
      if (camera.stepBackAt == device->frames) device->ticks -= kTicksPerFrame + kStepBackTicks;
      if (device->due <= device->servedUntil + kBuffered) {
        std::uint16_t value = context->bus.raw ? 500 + 100 * device->position : 1000 * device->position;
        std::fill(device->depth.begin(), device->depth.end(), value);
        ++delivered[device->position];
        if (device->depthCallback) device->depthCallback(device, device->depth.data(), device->ticks);
      } else {
        ++missed[device->position];
      }
      ++device->frames;
      device->ticks += kTicksPerFrame;
      device->due += kFramePeriod;
      if (camera.deadAfter >= 0 && device->frames >= camera.deadAfter) {
        Log(context, FREENECT_LOG_ERROR, "USB device disappeared, cancelling stream %02x :(\n", 0x82);
        device->dead = true;
        device->streaming = false;
      }
    }
    device->servedUntil = now;
  }
}

}  // namespace

extern "C" {

int freenect_standin_delivered(int position) {
  return delivered[position];
}
int freenect_standin_missed(int position) {
  return missed[position];
}

int freenect_init(freenect_context** context, freenect_usb_context*) {
  std::lock_guard<std::recursive_mutex> lock(eventLock);
  *context = new freenect_context();
  (*context)->bus = ReadBus();
  std::fill(std::begin(delivered), std::end(delivered), 0);
  std::fill(std::begin(missed), std::end(missed), 0);
  return 0;
}

int freenect_shutdown(freenect_context* context) {
  std::lock_guard<std::recursive_mutex> lock(eventLock);
  for (freenect_device* device : context->opened) delete device;
  delete context;
  return 0;
}

void freenect_set_log_level(freenect_context* context, freenect_loglevel level) {
  context->level = level;
}
void freenect_set_log_callback(freenect_context* context, freenect_log_cb callback) {
  context->log = callback;
}
void freenect_select_subdevices(freenect_context*, freenect_device_flags) {}
int freenect_supported_subdevices(void) {
  return FREENECT_DEVICE_CAMERA;
}
int freenect_num_devices(freenect_context* context) {
  return context->bus.count;
}

// As libusb's: waits for the next transfer to complete or the time-out,
// then serves every device. Once any device is marked dead, every call answers -1, although
// it served the others too.
int freenect_process_events_timeout(freenect_context* context, timeval* timeout) {
  const Clock::time_point now = Clock::now();
  Clock::time_point until =
      now + std::chrono::seconds(timeout->tv_sec) + std::chrono::microseconds(timeout->tv_usec);
  {
    std::lock_guard<std::recursive_mutex> lock(eventLock);
    for (freenect_device* device : context->opened)
      if (device->streaming) until = std::min(until, now + kTransferPeriod);
  }
  std::this_thread::sleep_until(until);
  std::lock_guard<std::recursive_mutex> lock(eventLock);
  Serve(context, Clock::now());
  int result = 0;
  for (freenect_device* device : context->opened) {
    if (!device->dead) continue;
    Log(context, FREENECT_LOG_ERROR, "USB camera marked dead, stopping streams\n");
    result = -1;
  }
  return result;
}

int freenect_process_events(freenect_context* context) {
  timeval timeout{60, 0};
  return freenect_process_events_timeout(context, &timeout);
}

int freenect_list_device_attributes(freenect_context* context, freenect_device_attributes** list) {
  freenect_device_attributes** next = list;
  *list = nullptr;
  int count = 0;
  for (int k = 1; k <= context->bus.count; ++k) {
    const Camera& camera = context->bus.cameras[k - 1];
    if (camera.noSerial || camera.denied) continue;
    auto* item = new freenect_device_attributes{
        nullptr,
        strdup(camera.zeroSerial ? "0000000000000000" : ("SERIAL-" + std::to_string(k)).c_str())};
    *next = item;
    next = &item->next;
    ++count;
  }
  return count;
}

void freenect_free_device_attributes(freenect_device_attributes* list) {
  while (list) {
    freenect_device_attributes* next = list->next;
    std::free(const_cast<char*>(list->camera_serial));
    delete list;
    list = next;
  }
}

// `index` counts every camera on the bus, listed or not.
int freenect_open_device(freenect_context* context, freenect_device** device, int index) {
  std::lock_guard<std::recursive_mutex> lock(eventLock);
  *device = nullptr;
  if (index < 0 || index >= context->bus.count) return -1;
  const Camera& camera = context->bus.cameras[index];
  if (camera.denied || camera.busy) {
    if (camera.denied) Log(context, FREENECT_LOG_ERROR, "Could not open camera: %d\n", -3);
    if (camera.busy)
      Log(context, FREENECT_LOG_ERROR, "Failed to claim camera interface: %s\n", "LIBUSB_ERROR_BUSY");
    Log(context, FREENECT_LOG_ERROR, "Failed to open camera subdevice or it is not disabled.");
    return -1;
  }
  auto* opened = new freenect_device();
  opened->context = context;
  opened->position = index + 1;
  context->opened.push_back(opened);
  *device = opened;
  return 0;
}

// As libfreenect 0.5.3 does it: the serial's position in the serial list
// is taken for the device index.
int freenect_open_device_by_camera_serial(freenect_context* context, freenect_device** device,
                                          const char* serial) {
  freenect_device_attributes* list = nullptr;
  freenect_list_device_attributes(context, &list);
  int index = 0;
  for (freenect_device_attributes* item = list; item; item = item->next, ++index) {
    if (std::strcmp(item->camera_serial, serial) == 0) {
      freenect_free_device_attributes(list);
      return freenect_open_device(context, device, index);
    }
  }
  freenect_free_device_attributes(list);
  Log(context, FREENECT_LOG_ERROR,
      "freenect_open_device_by_camera_serial: Couldn't find a device with serial %s\n", serial);
  return -1;
}

int freenect_close_device(freenect_device* device) {
  std::lock_guard<std::recursive_mutex> lock(eventLock);
  auto& opened = device->context->opened;
  opened.erase(std::remove(opened.begin(), opened.end(), device), opened.end());
  delete device;
  return 0;
}

void freenect_set_user(freenect_device* device, void* user) {
  device->user = user;
}
void* freenect_get_user(freenect_device* device) {
  return device->user;
}
void freenect_set_depth_callback(freenect_device* device, freenect_depth_cb callback) {
  device->depthCallback = callback;
}

int freenect_get_depth_mode_count() {
  return 2;
}

freenect_frame_mode freenect_get_depth_mode(int number) {
  // Read before any context exists, as the real one: the environment decides.
  const char* text = std::getenv("FREENECT_STANDIN");
  const bool raw = text && std::strstr(text, "raw");
  if (number == 0) return DepthMode(FREENECT_DEPTH_11BIT);
  if (number == 1 && !raw) return DepthMode(FREENECT_DEPTH_MM);
  return freenect_frame_mode{};
}

int freenect_set_depth_mode(freenect_device* device, const freenect_frame_mode mode) {
  if (!mode.is_valid) return -1;
  device->format = mode.depth_format;
  return 0;
}

int freenect_set_flag(freenect_device*, freenect_flag, freenect_flag_value) {
  return 0;
}

// A synchronous control transfer lets libusb run other devices' pending
// callbacks on the calling thread, as starting and stopping do here.
int freenect_start_depth(freenect_device* device) {
  std::lock_guard<std::recursive_mutex> lock(eventLock);
  freenect_context* context = device->context;
  Serve(context, Clock::now());
  if (device->dead) return -1;
  if (CameraOf(device).silent) {
    for (int transfer = 0; transfer < 16; ++transfer)
      Log(context, FREENECT_LOG_WARNING, "Failed to submit isochronous transfer %d: %d\n", transfer, -1);
    return 0;  // as libfreenect: the stream counts as started
  }
  device->streaming = true;
  device->due = Clock::now() + std::chrono::milliseconds(50);
  device->servedUntil = device->due;  // its transfers are waiting from the start
  device->ticks = 4294000000u;
  return 0;
}

int freenect_stop_depth(freenect_device* device) {
  std::lock_guard<std::recursive_mutex> lock(eventLock);
  Serve(device->context, Clock::now());
  const bool was = device->streaming;
  device->streaming = false;
  return was ? 0 : -1;
}

freenect_registration freenect_copy_registration(freenect_device*) {
  freenect_registration registration{};
  registration.zero_plane_info.dcmos_emitter_dist = 7.5f;
  registration.zero_plane_info.dcmos_rcmos_dist = 2.3f;
  registration.zero_plane_info.reference_distance = 120.0f;
  registration.zero_plane_info.reference_pixel_size = 0.1042f;
  return registration;
}

int freenect_destroy_registration(freenect_registration*) {
  return 0;
}

}  // extern "C"
