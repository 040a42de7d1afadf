// kestrova-station: publishes this machine's depth cameras on the
// depth-frame network, for recorders elsewhere (--sensors net:...).
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "capture/SensorChoice.h"
#include "capture/net/NetBackend.h"
#include "capture/net/Station.h"
#include "settings/Version.h"
#include "tools/StopSignals.h"

namespace {

const std::string kUsage = std::string(
    "usage: kestrova-station [--sensors SPEC] [--name NAME] [--fps F] [--domain N] [--security DIR]\n"
    "Sends this machine's depth cameras to recorders on the network (DDS).\n"
    "  --sensors SPEC  the local cameras (default: freenect); see below (net is\n"
    "                  for recorders)\n"
    "  --name NAME     the station's name, unique on the network (default: the host name)\n"
    "  --fps F         frame rate of simulated or replayed cameras (default 30)\n"
    "  --domain N      DDS domain, 0 to 230, to keep rigs on one network apart (default 0)\n"
    "  --security DIR  DDS Security with this machine's files from scripts/rig-security.sh:\n"
    "                  only the rig's recorders then read the frames, encrypted\n"
    "  --help          this text\n"
    "  --version       the program's version\n"
    "Recorders take its cameras with --sensors net:NAME/1,NAME/2,... (and\n"
    "domain=N, security=DIR as the station has them).\n"
    "Ctrl-C, SIGTERM or a closed terminal (SIGHUP) ends it.\n"
    "\n") + kestrova::kSensorSpecHelp + "\n" +
    "Exit status 0 when stopped, 1 when the cameras or the network could not be\n"
    "used, 2 for a bad option.\n";

struct StationOptions {
  std::string sensors = "freenect";
  std::string name;
  double fps = 30;
  int domain = kestrova::net::kDefaultDomain;
  std::string securityDir;
  bool help = false;
  bool version = false;
};

bool ParseNumber(const std::string& text, double low, double high, double* value) {
  char* end = nullptr;
  double v = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || !(v >= low && v <= high)) return false;
  *value = v;
  return true;
}

bool ParseOptions(const std::vector<std::string>& args, StationOptions* options, std::string* error) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "-h") {
      options->help = true;
      continue;
    }
    if (arg == "--version") {
      options->version = true;
      continue;
    }
    if (arg != "--sensors" && arg != "--name" && arg != "--fps" && arg != "--domain" &&
        arg != "--security") {
      *error = "unknown option '" + arg + "' (see --help)";
      return false;
    }
    if (i + 1 == args.size()) {
      *error = arg + " needs a value";
      return false;
    }
    const std::string& value = args[++i];
    double number = 0;
    if (arg == "--sensors") {
      options->sensors = value;
    } else if (arg == "--name") {
      options->name = value;
    } else if (arg == "--security") {
      options->securityDir = value;
    } else if (arg == "--fps") {
      if (!ParseNumber(value, 0, 1000, &number)) {
        *error = "--fps takes a number from 0 to 1000: '" + value + "'";
        return false;
      }
      options->fps = number;
    } else {
      if (!ParseNumber(value, 0, kestrova::net::kMaxDomain, &number) || number != static_cast<int>(number)) {
        *error = "--domain takes a whole number from 0 to 230: '" + value + "'";
        return false;
      }
      options->domain = static_cast<int>(number);
    }
  }
  if (kestrova::net::IsNetSpec(options->sensors)) {
    *error = "a station sends its own cameras: --sensors net is for recorders";
    return false;
  }
  return true;
}

// One line a second: frames sent per camera, recorders listening, MB/s.
class Progress {
 public:
  explicit Progress(const kestrova::net::Station& station)
      : station_(station), tty_(isatty(STDERR_FILENO) != 0) {}

  void Show(double seconds) {
    kestrova::net::StationFigures figures = station_.Figures();
    const double rate = seconds > lastSeconds_ ? (figures.bytes - lastBytes_) / (seconds - lastSeconds_) / 1e6 : 0;
    lastSeconds_ = seconds;
    lastBytes_ = figures.bytes;
    std::string line;
    char part[96];
    std::snprintf(part, sizeof part, "%7.1f s  sent", seconds);
    line += part;
    for (int i = 0; i < 4; ++i) {
      if (!figures.present[i]) continue;
      std::snprintf(part, sizeof part, " %d:%llu%s", i + 1,
                    static_cast<unsigned long long>(figures.sent[i]),
                    figures.lost[i] ? " (lost)" : figures.ended[i] ? " (ended)" : "");
      line += part;
    }
    std::string skipped;
    for (int i = 0; i < 4; ++i) {
      if (!figures.present[i] || figures.skipped[i] == 0) continue;
      std::snprintf(part, sizeof part, " %d:%llu", i + 1, static_cast<unsigned long long>(figures.skipped[i]));
      skipped += part;
    }
    if (!skipped.empty()) line += "  skipped" + skipped;
    std::snprintf(part, sizeof part, "  recorders %d  %.2f MB/s", figures.subscribers, rate);
    line += part;
    if (figures.writeFailures > 0) {
      std::snprintf(part, sizeof part, "  not sent %llu", static_cast<unsigned long long>(figures.writeFailures));
      line += part;
    }
    std::fprintf(stderr, tty_ ? "\r%s\033[K" : "%s\n", line.c_str());
  }

  void Finish() {
    if (tty_) std::fputc('\n', stderr);
  }

 private:
  const kestrova::net::Station& station_;
  const bool tty_;
  double lastSeconds_ = 0;
  std::uint64_t lastBytes_ = 0;
};

int Fail(int status, const std::string& reason) {
  std::fprintf(stderr, "kestrova-station: %s\n", reason.c_str());
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace kestrova;
  IgnoreOutputSignals();
  StationOptions options;
  std::string error;
  if (!ParseOptions(std::vector<std::string>(argv + 1, argv + argc), &options, &error))
    return Fail(2, error);
  if (options.help) {
    std::fputs(kUsage.c_str(), stdout);
    return 0;
  }
  if (options.version) {
    std::fputs(VersionText("kestrova-station").c_str(), stdout);
    return 0;
  }
  if (options.name.empty()) options.name = net::HostName();

  if (!CheckSensorSpec(options.sensors, &error)) return Fail(2, error);
  std::unique_ptr<SensorBackend> backend = MakeSensorBackend(options.sensors, options.fps, &error);
  if (!backend) return Fail(1, error);
  StopOnSignals();

  net::Station station(options.name);
  if (!station.Start(std::move(backend), options.domain, options.securityDir, &error))
    return Fail(1, error);
  char run[24];
  std::snprintf(run, sizeof run, "%016llx", static_cast<unsigned long long>(station.Run()));
  std::fprintf(stderr, "station %s: run %s, kestrova %s, frame type %d%s\n", station.Name().c_str(),
               run, ProgramVersion().c_str(), net::FrameTypeVersion(),
               options.securityDir.empty() ? ", no DDS Security"
                                           : (", DDS Security with " + options.securityDir).c_str());
  for (const auto& camera : station.Cameras())
    std::fprintf(stderr, "station %s: camera %d, sensor %s, on DDS domain %d\n",
                 station.Name().c_str(), camera.camera, camera.serial.c_str(), options.domain);

  Progress progress(station);
  const auto start = std::chrono::steady_clock::now();
  auto nextReport = start + std::chrono::seconds(1);
  while (!StopSignal()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const auto now = std::chrono::steady_clock::now();
    if (now >= nextReport) {
      progress.Show(std::chrono::duration<double>(now - start).count());
      nextReport += std::chrono::seconds(1);
    }
  }
  progress.Finish();
  station.Stop();
  net::StationFigures figures = station.Figures();
  std::string sent;
  for (int i = 0; i < 4; ++i)
    if (figures.present[i])
      sent += " camera " + std::to_string(i + 1) + ": " + std::to_string(figures.sent[i]);
  std::fprintf(stderr, "station %s stopped; frames sent:%s\n", station.Name().c_str(), sent.c_str());
  std::string skipped;
  for (int i = 0; i < 4; ++i)
    if (figures.present[i] && figures.skipped[i] > 0)
      skipped += " camera " + std::to_string(i + 1) + ": " + std::to_string(figures.skipped[i]);
  if (!skipped.empty())
    std::fprintf(stderr, "sensor frames skipped (the station fell behind):%s\n", skipped.c_str());
  return 0;
}
