// record_fake_oni URI FILE FRAMES: records the fake OpenNI2 camera at URI
// into FILE with OpenNI2's own Recorder, from the first frame it sends until
// it has sent FRAMES (its `frames=` setting; see FakeOniFrames.h). A
// program of its own, as a user's recording tool would be: the tests that
// play the file keep one OpenNI2 session in their process.
#include <OniCAPI.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "tests/support/FakeOniFrames.h"

namespace {

int Fail(const char* what) {
  std::fprintf(stderr, "record_fake_oni: %s: %s\n", what, oniGetExtendedError());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: record_fake_oni URI FILE FRAMES\n");
    return 2;
  }
  const int frames = std::atoi(argv[3]);
  if (oniInitialize(ONI_API_VERSION) != ONI_STATUS_OK) return Fail("OpenNI2 does not start");
  OniDeviceHandle camera = nullptr;
  OniStreamHandle stream = nullptr;
  OniRecorderHandle recorder = nullptr;
  if (oniDeviceOpen(argv[1], &camera) != ONI_STATUS_OK) return Fail("no such camera");
  if (oniDeviceCreateStream(camera, ONI_SENSOR_DEPTH, &stream) != ONI_STATUS_OK) return Fail("no depth stream");
  if (oniCreateRecorder(argv[2], &recorder) != ONI_STATUS_OK ||
      oniRecorderAttachStream(recorder, stream, FALSE) != ONI_STATUS_OK)
    return Fail("no recorder");
  // Started before the stream, the Recorder takes every frame.
  if (oniRecorderStart(recorder) != ONI_STATUS_OK || oniStreamStart(stream) != ONI_STATUS_OK)
    return Fail("does not start");
  int sent = 0;
  const auto start = std::chrono::steady_clock::now();
  while (sent < frames && std::chrono::steady_clock::now() - start < std::chrono::seconds(10)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    int size = sizeof sent;
    if (oniDeviceGetProperty(camera, kestrova::fakeoni::kFramesSentProperty, &sent, &size) != ONI_STATUS_OK)
      return Fail("not a fake camera");
  }
  oniRecorderStop(recorder);  // after every frame handed to it is written
  oniRecorderDestroy(&recorder);
  oniStreamStop(stream);
  oniStreamDestroy(stream);
  oniDeviceClose(camera);
  oniShutdown();
  if (sent != frames) {
    std::fprintf(stderr, "record_fake_oni: the camera sent %d frames, not %d\n", sent, frames);
    return 1;
  }
  return 0;
}
