// kestrova-align: refines the cameras' poses from their own clouds and
// writes the settings with the found poses.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "align/AlignmentJob.h"
#include "capture/SensorChoice.h"
#include "core/Recorder.h"
#include "tools/AlignCommand.h"
#include "settings/Version.h"

namespace {

using namespace kestrova;

const std::string kUsage = std::string(
    "usage: kestrova-align [--sensors SPEC] [--fps F] [--params FILE] [--reference C]\n"
    "                      [--frames N] --write FILE\n"
    "\n"
    "Refines the poses of the enabled cameras from the overlap of their own clouds,\n"
    "starting from the typed poses and the calibration; the reference camera does\n"
    "not move. Prints a table per camera (the correction, the RMS distance and the\n"
    "share of overlapping points before and after) and writes FILE: the settings\n"
    "with the found poses, everything else unchanged.\n"
    "\n"
    "  --sensors SPEC  the cameras (default: freenect, the real ones); see below;\n"
    "                  sim:N,pose=C@X/Y/Z/RX/RY/RZ places simulated camera C\n"
    "                  elsewhere than its default pose, to try the alignment\n"
    "  --fps F         frame rate of simulated or replayed cameras (default 30;\n"
    "                  0 = as fast as they are taken)\n"
    "  --params FILE   settings file (default: KVA_Params.txt in the working\n"
    "                  directory when present, else the built-in defaults)\n"
    "  --reference C   camera C (1 to 4) stays where it is (default: the first\n"
    "                  enabled camera)\n"
    "  --frames N      cycles of frames gathered, 20 frames apart (default 6)\n"
    "  --write FILE    the settings file to write\n"
    "  --help          this text\n"
    "  --version       the program's version\n"
    "\n") + kSensorSpecHelp + "\n" +
    "Exit status 0 when every camera was aligned, 1 when the alignment could not\n"
    "run (no frames, FILE not written), 2 for a bad option, 3 when a camera was\n"
    "not aligned (too little overlap, or an implausibly large correction): it is\n"
    "named, and left in FILE as typed.\n";

int Usage(const std::string& reason) {
  std::fprintf(stderr, "kestrova-align: %s (see --help)\n", reason.c_str());
  return kAlignBadOption;
}

int Fail(const std::string& reason) {
  std::fprintf(stderr, "kestrova-align: %s\n", reason.c_str());
  return kAlignFailed;
}

}  // namespace

int main(int argc, char** argv) {
  std::string sensors, paramsFile, writePath;
  double fps = 30;
  int reference = -1;
  long frames = kDefaultAlignCycles;
  std::string error;
  const std::vector<std::string> args(argv + 1, argv + argc);
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage.c_str(), stdout);
      return 0;
    }
    if (arg == "--version") {
      std::fputs(VersionText("kestrova-align").c_str(), stdout);
      return 0;
    }
    if (i + 1 >= args.size()) return Usage("unknown or incomplete option '" + arg + "'");
    const std::string& value = args[++i];
    char* end = nullptr;
    if (arg == "--sensors") {
      if (!CheckSensorSpec(value, &error)) return Usage(error);
      sensors = value;
    } else if (arg == "--params") {
      paramsFile = value;
    } else if (arg == "--write") {
      writePath = value;
    } else if (arg == "--fps") {
      fps = std::strtod(value.c_str(), &end);
      if (value.empty() || *end != '\0' || !std::isfinite(fps) || fps < 0)
        return Usage("--fps takes a number of 0 or more: '" + value + "'");
    } else if (arg == "--frames") {
      frames = std::strtol(value.c_str(), &end, 10);
      if (value.empty() || *end != '\0' || frames < 1 || frames > 1000)
        return Usage("--frames takes a whole number from 1 to 1000: '" + value + "'");
    } else if (arg == "--reference") {
      if (!ParseCameraNumber(value, &reference)) return Usage("--reference takes a camera number 1 to 4");
    } else {
      return Usage("unknown option '" + arg + "'");
    }
  }
  if (writePath.empty()) return Usage("--write FILE is needed");

  OperatorSettings settings;
  CameraSettings cameras;
  if (!LoadAlignSettings(paramsFile, &settings, &cameras, &error)) return Fail(error);

  const bool real = sensors.empty();
  std::unique_ptr<SensorBackend> backend =
      real ? MakeRealSensorBackend(&error) : MakeSensorBackend(sensors, fps, &error);
  if (!backend && real) return Fail(error + ". " + kTrySimulatedCameras);
  if (!backend) return Fail(error);  // the text was checked: these sensors are not there

  CRecorder engine(std::move(backend));
  if (engine.SensorCount() == 0)
    return Fail("no depth sensor found (" + (real ? std::string("freenect") : sensors) + ")");
  engine.owner->StoreSettings(settings);
  for (int slot = 0; slot < kCameraCount; ++slot) engine.SetCamera(slot, cameras[slot]);
  if (reference >= 0 && !engine.EnabledCameras(settings)[reference])
    return Fail("the reference camera " + std::to_string(reference + 1) + " is not enabled");

  // The frames come from the engine's preview loop, run without a window.
  engine.StartPreview();
  std::fprintf(stderr, "kestrova-align: gathering %ld cycles\n", frames);
  AlignmentJob job(engine, settings, cameras, static_cast<int>(frames), reference);
  while (!job.Finished()) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  engine.StopPreview();
  if (job.Poll() == AlignmentJob::State::Failed) return Fail(job.Error());
  PrintCycles("kestrova-align", job.Clouds());
  std::fprintf(stderr, "kestrova-align: aligned in %.1f s\n", job.AlignSeconds());
  return WriteAlignment("kestrova-align", settings, cameras, job.Report(), writePath);
}
