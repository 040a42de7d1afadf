// kestrova-record: one take from the command line, on the engine the window
// uses, without a preview. For scripted captures and tests.
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <thread>

#include "capture/SensorChoice.h"
#include "capture/net/NetBackend.h"
#include "core/Recorder.h"
#include "record/ExistingTake.h"
#include "record/TakeCameras.h"
#include "tools/RecordCommand.h"
#include "tools/StopSignals.h"
#include "tools/TakeReport.h"
#include "settings/Version.h"

namespace {

int Fail(int status, const std::string& reason) {
  std::fprintf(stderr, "kestrova-record: %s\n", reason.c_str());
  return status;
}

// Once a second: elapsed time, cycles, cycles per second, points per
// camera in the last frame, the largest spread of one cycle's frames so
// far, and per camera the cycles it missed and the sensor frames it dropped.
class Progress {
 public:
  Progress(const kestrova::CRecorder& engine, const std::array<bool, kestrova::kCameraCount>& cameras)
      : engine_(engine), cameras_(cameras), tty_(isatty(STDERR_FILENO) != 0) {}

  void Show(double seconds) {
    const kestrova::CycleStatistics& statistics = engine_.Statistics();
    std::uint64_t cycles = engine_.RecordCycles() - cyclesBefore_;
    double rate = seconds > lastSeconds_ ? (cycles - lastCycles_) / (seconds - lastSeconds_) : 0;
    lastSeconds_ = seconds;
    lastCycles_ = cycles;
    char part[96];
    std::snprintf(part, sizeof part, "%7.1f s %7llu cycles %6.1f cycles/s", seconds,
                  static_cast<unsigned long long>(cycles), rate);
    std::string line = part;
    line += PerCamera("  points", [this](int i) { return engine_.LastPointCount(i); });
    std::snprintf(part, sizeof part, "  spread %.1f ms", statistics.LargestSpreadMs());
    line += part;
    line += PerCamera("  missed", [&statistics](int i) { return statistics.Missed(i); });
    line += PerCamera("  dropped", [&statistics](int i) { return statistics.Dropped(i); });
    std::fprintf(stderr, tty_ ? "\r%s\033[K" : "%s\n", line.c_str());
  }

  void Finish() {
    if (tty_) std::fputc('\n', stderr);
  }

  // A line of its own, between two progress lines.
  void Notice(const std::string& text) {
    std::fprintf(stderr, tty_ ? "\r\033[K%s\n" : "%s\n", text.c_str());
  }

 private:
  // " 1:N 2:N" over the take's cameras, after `title`.
  template <class Count>
  std::string PerCamera(const char* title, Count count) const {
    std::string text = title;
    char part[32];
    for (int i = 0; i < kestrova::kCameraCount; ++i) {
      if (!cameras_[i]) continue;
      std::snprintf(part, sizeof part, " %d:%llu", i + 1, static_cast<unsigned long long>(count(i)));
      text += part;
    }
    return text;
  }

  const kestrova::CRecorder& engine_;
  const std::array<bool, kestrova::kCameraCount>& cameras_;
  const bool tty_;
  std::uint64_t cyclesBefore_ = engine_.RecordCycles();
  double lastSeconds_ = 0;
  std::uint64_t lastCycles_ = 0;
};

// The frames the take did without, and how long frames took to reach the
// files, after the take.
void ReportCycles(const kestrova::CRecorder& engine, const std::array<bool, kestrova::kCameraCount>& cameras) {
  const kestrova::CycleStatistics& statistics = engine.Statistics();
  std::string missed, dropped;
  for (int i = 0; i < kestrova::kCameraCount; ++i) {
    if (!cameras[i]) continue;
    if (statistics.Missed(i) > 0)
      missed += " camera " + std::to_string(i + 1) + ": " + std::to_string(statistics.Missed(i));
    if (statistics.Dropped(i) > 0)
      dropped += " camera " + std::to_string(i + 1) + ": " + std::to_string(statistics.Dropped(i));
  }
  std::fprintf(stderr, "cycles of one moment: the frames of one cycle lay at most %.1f ms apart\n",
               statistics.LargestSpreadMs());
  if (!missed.empty()) std::fprintf(stderr, "cycles without a camera's frame:%s\n", missed.c_str());
  if (!dropped.empty()) std::fprintf(stderr, "sensor frames dropped:%s\n", dropped.c_str());
  const kestrova::LatencyHistogram& latency = engine.TakeLatency();
  if (latency.Count() > 0)
    std::fprintf(stderr, "from a frame's arrival to its record in the files: median %.1f ms, 99th percentile %.1f ms\n",
                 latency.Quantile(0.5), latency.Quantile(0.99));
}

}  // namespace

int main(int argc, char** argv) {
  using namespace kestrova;
  IgnoreOutputSignals();
  RecordOptions options;
  std::string error;
  if (!ParseRecordOptions(std::vector<std::string>(argv + 1, argv + argc), &options, &error))
    return Fail(2, error);
  if (options.help) {
    std::fputs(RecordUsage().c_str(), stdout);
    return 0;
  }
  if (options.version) {
    std::fputs(VersionText("kestrova-record").c_str(), stdout);
    return 0;
  }

  if (!options.replace) {
    const std::string existing = DescribeExistingTake(options.outputDir);
    if (!existing.empty())
      return Fail(1, options.outputDir + " already holds " + existing + "; give --replace to record over it");
  }

  const bool real = options.sensors.empty();
  std::unique_ptr<SensorBackend> backend =
      real ? MakeRealSensorBackend(&error) : MakeSensorBackend(options.sensors, options.fps, &error);
  if (!backend && real) return Fail(1, error + ". " + kTrySimulatedCameras);
  // No sensor of a known kind is a failure of the take; an unknown kind is a bad option.
  if (!backend) return Fail(1, error);  // the text was checked: these sensors are not there
  // Remote cameras report their sources: others ignored, stations resumed.
  const std::shared_ptr<net::NetReceiver> network = net::ReceiverOf(*backend);
  CRecorder engine(std::move(backend));
  if (engine.SensorCount() == 0)
    return Fail(1, "no depth sensor found (" + (real ? std::string("freenect") : options.sensors) + ")");

  if (!options.paramsFile.empty()) {
    if (!engine.LoadParamsFile(options.paramsFile))
      return Fail(2, "cannot read " + options.paramsFile + ": " + std::strerror(errno));
  } else {
    engine.LoadParamsFile("KVA_Params.txt");
  }
  const double seconds = options.seconds;
  engine.owner->Modify([seconds](OperatorSettings& s) {
    // --frames alone never ends on time: a limit that is not finite never ends a take.
    s.maxRecordingMinutes = seconds > 0 ? static_cast<float>(seconds / 60.0) : INFINITY;
  });
  engine.SetTakeCycleLimit(static_cast<int>(options.frames));
  engine.SetKeepDepth(options.keepDepth);

  OperatorSettings settings = engine.owner->Settings();
  const std::array<bool, kCameraCount> cameras = engine.EnabledCameras(settings);
  std::string recorded;
  for (int i = 0; i < kCameraCount; ++i) {
    if (engine.HasSensor(i)) {
      const std::string serial = engine.Sensor(i)->NuiUniqueId();
      std::fprintf(stderr, "camera %d: %s sensor %s%s\n", i + 1, engine.BackendName().c_str(),
                   serial.empty() ? "(serial unknown)" : serial.c_str(),
                   cameras[i] ? "" : (settings.cameraEnabled[i] ? "" : " (not enabled)"));
    } else if (settings.cameraEnabled[i]) {
      std::fprintf(stderr, "camera %d: enabled, but no sensor: not recorded\n", i + 1);
    }
    if (cameras[i]) recorded += (recorded.empty() ? "" : ", ") + std::to_string(i + 1);
  }
  if (recorded.empty()) return Fail(1, kNoSensorForTake);

  engine.SetOutputDir(options.outputDir);
  // What of an older take the new one removes (--replace), said once it started.
  const std::vector<std::string> older = OlderTakeFiles(options.outputDir, cameras, options.keepDepth);
  StopOnSignals();
  if (!engine.StartRecording(&error)) return Fail(1, error);
  if (!older.empty()) {
    std::string names;
    for (const std::string& name : older) names += (names.empty() ? "" : ", ") + name;
    std::fprintf(stderr, "replaced the take in %s: removed %s\n", options.outputDir.c_str(), names.c_str());
  }

  Progress progress(engine, cameras);
  LostCameraWatch lostCameras(engine, cameras);
  const auto start = std::chrono::steady_clock::now();
  auto nextReport = start + std::chrono::seconds(1);
  int stoppedBy = 0;
  while (engine.TakeThreadAlive()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (StopSignal() && !stoppedBy && engine.StopRecording()) stoppedBy = StopSignal();
    for (const std::string& change : lostCameras.Changes()) progress.Notice(change);
    if (network)
      for (const std::string& notice : network->TakeNotices()) progress.Notice(notice);
    auto now = std::chrono::steady_clock::now();
    if (now >= nextReport) {
      progress.Show(std::chrono::duration<double>(now - start).count());
      nextReport += std::chrono::seconds(1);
    }
  }
  progress.Finish();
  engine.Close();

  TakeOutcome outcome = engine.LastTake();
  for (const std::string& change : lostCameras.Changes()) progress.Notice(change);
  if (network) {
    for (const std::string& notice : network->TakeNotices()) progress.Notice(notice);
    for (const std::string& line : network->Summary()) progress.Notice(line);
  }
  const std::string why =
      stoppedBy && outcome.end == TakeEnd::Stopped ? "stopped by " + StopSignalText(stoppedBy)
                                                   : TakeEndText(outcome);
  std::fprintf(stderr, "recorded %d cycles of camera%s %s into %s (%s)\n", outcome.cycles,
               recorded.size() > 1 ? "s" : "", recorded.c_str(), options.outputDir.c_str(),
               why.c_str());
  ReportCycles(engine, cameras);
  const std::vector<std::string> losses = lostCameras.Summary();
  const int status = TakeExitStatus(outcome, !losses.empty());
  if (status == kExitCameraLost)
    for (const std::string& loss : losses)
      std::fprintf(stderr, "kestrova-record: %s\n", loss.c_str());
  return status;
}
