// kestrova-take: inspect, verify, export and play back takes.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "record/StagedFolder.h"
#include "record/TakeCheck.h"
#include "core/TakeReprocess.h"
#include "record/TakeTimes.h"
#include "tools/AlignCommand.h"
#include "tools/DepthExport.h"
#include "tools/TakeExport.h"
#include "tools/TakeInfo.h"
#include "tools/StopSignals.h"
#include "tools/TakeView.h"
#include "settings/Version.h"

namespace {

using namespace kestrova;

// Each command: how it is called and what it does.
struct Command {
  const char* verb;
  const char* usage;
  const char* help;
};

const Command kCommands[] = {
    {"info", "info DIR [--json]",
     "  cameras, frames, duration, frame rate, dropped frames and points per frame\n"
     "  of the take in DIR, its depth frames and settings, and every fault found\n"
     "  (--json: as JSON); exit 1 when it reports a fault\n"},
    {"verify", "verify DIR",
     "  checks every file of the take; exit 0 when sound, else 1 with each fault's\n"
     "  file, line or record, and byte offset\n"},
    {"export",
     "export DIR --to OUT [--format pcd|ply] [--units cm|pcl] [--merge] [--frames A:B]\n"
     "       kestrova-take export DIR --depth --to OUT [--depth-format png|pgm]",
     "  one file per frame and camera into OUT (--merge: one per frame with every\n"
     "  camera), points in their camera's colour; --units cm (the default) divides\n"
     "  by the take's calibration, pcl keeps PCL units; --frames A:B exports frame\n"
     "  numbers A to B (either may be left out); --depth exports the depth frames\n"
     "  the take kept instead, one 16-bit greyscale image of millimetres per frame,\n"
     "  OUT/camN/frameNNNNNN.png (or .pgm), which --sensors replay:OUT plays. OUT is\n"
     "  made when it does not exist (and only when the export wrote its files).\n"
     "  A take cut short by a crash exports every whole frame, says where it\n"
     "  stopped and exits 1; depth files with other faults are refused\n"},
    {"view", "view DIR [--speed X] [--once] [--screenshot FILE]",
     "  plays the take in a window at its recorded rate (needs a display):\n"
     "  space pauses, Right/n and Left/b step, ] and [ double and halve the speed,\n"
     "  Home starts again; --speed X starts at X times the recorded rate (above\n"
     "  0, at most 64); --once ends after the last frame instead of waiting on it;\n"
     "  --screenshot FILE writes a PNG of the last frame shown when it ends\n"},
    {"times", "times DIR [--csv FILE]",
     "  per frame number the take time (ms since the first cycle, on the\n"
     "  reference camera's clock) and each camera's time stamp and time since its\n"
     "  first frame; --csv writes the table to FILE\n"},
    {"reprocess", "reprocess DIR --to OUT [--params FILE] [--replace]",
     "  a new take into OUT (not DIR; made when it does not exist) from the depth\n"
     "  frames DIR kept (kestrova-record --keep-depth): RECPARAM.txt from FILE or\n"
     "  DIR's own, PCLn.dat and TSn.txt as a live take with those settings would\n"
     "  have recorded them. A take already in OUT is refused unless --replace is\n"
     "  given. The new take appears only when complete: a run that fails or is\n"
     "  stopped (Ctrl-C, SIGTERM, SIGHUP) leaves none. Depth files with a fault\n"
     "  are refused, except a tail cut short by a crash: every whole frame before\n"
     "  it is processed, and it exits 1 saying where the frames stopped\n"},
    {"align", "align DIR --write FILE [--reference C] [--frames N]",
     "  refines the camera poses of the take's settings (RECPARAM.txt) from the\n"
     "  depth frames DIR kept, as kestrova-align does live: prints the table and\n"
     "  writes FILE, the settings with the found poses; exit 0 when every camera\n"
     "  aligned, 1 when it could not run (no depth frames), 3 naming a camera that\n"
     "  was not aligned\n"},
};

const char kExitStatuses[] =
    "kestrova-take --version prints the program's version.\n"
    "Exit status 0 when the command did its work on a sound take, 1 when it could\n"
    "not or found a fault (named with its file and byte), 2 for a bad command line.\n";

const Command* FindCommand(const std::string& verb) {
  for (const Command& command : kCommands)
    if (verb == command.verb) return &command;
  return nullptr;
}

void PrintHelp(const Command* only) {
  bool first = true;
  for (const Command& command : kCommands) {
    if (only && only != &command) continue;
    std::printf("%s kestrova-take %s\n", first ? "usage:" : "      ", command.usage);
    first = false;
  }
  std::printf("\n");
  for (const Command& command : kCommands) {
    if (only && only != &command) continue;
    std::printf("%s%s%s", only ? "" : command.verb, only ? "" : "\n", command.help);
  }
  std::printf("\n%s", kExitStatuses);
}

int Usage(const std::string& reason) {
  std::fprintf(stderr, "kestrova-take: %s (see --help)\n", reason.c_str());
  return 2;
}

// A directory with neither RECPARAM.txt nor any camera's files holds no take.
bool NoTake(const TakeReport& report, const std::string& dir) {
  if (!report.cameraReports.empty() || report.paramsPresent) return false;
  std::fprintf(stderr, "kestrova-take: %s: no take here\n", dir.c_str());
  return true;
}

int Info(const std::string& dir, bool json) {
  TakeReport report = ExamineTake(dir);
  if (NoTake(report, dir)) return 1;
  const TakeCycles cycles = ExamineCycles(dir);
  std::fputs((json ? TakeInfoJson(report, cycles) : TakeInfoText(report, cycles)).c_str(), stdout);
  return report.Sound() ? 0 : 1;
}

int Verify(const std::string& dir) {
  TakeReport report = ExamineTake(dir);
  if (NoTake(report, dir)) return 1;
  const std::vector<ReadFault> faults = report.AllFaults();
  if (faults.empty()) {
    long long frames = 0;
    int cameras = 0;
    for (const CameraReport& camera : report.cameraReports)
      if (camera.inTake) frames += camera.records, ++cameras;
    std::printf("sound: %d camera%s, %lld records\n", cameras, cameras == 1 ? "" : "s", frames);
    return 0;
  }
  for (const ReadFault& fault : faults) std::printf("fault: %s\n", fault.Text().c_str());
  return 1;
}

void ShowProgress(size_t done, size_t total) {
  static bool tty = isatty(STDERR_FILENO) != 0;
  static int lastTenth = -1;
  const int percent = total ? static_cast<int>(100 * done / total) : 100;
  if (tty) {
    const int filled = percent * 30 / 100;
    std::fprintf(stderr, "\r[%s%s] %3d%% (%zu of %zu frames)", std::string(filled, '#').c_str(),
                 std::string(30 - filled, '.').c_str(), percent, done, total);
    if (done == total) std::fputc('\n', stderr);
  } else if (percent / 10 != lastTenth) {
    lastTenth = percent / 10;
    std::fprintf(stderr, "%3d%% (%zu of %zu frames)\n", percent, done, total);
  }
}

// The end of work over a take's depth frames: what was done, and where
// depth files were cut short (every whole frame before was used).
int DepthWorkDone(bool done, const std::string& error, const char* verb, const char* what,
                  long long frames, int cameras, const std::string& out,
                  const std::vector<ReadFault>& stops) {
  if (!done) {
    std::fprintf(stderr, "kestrova-take: %s\n", error.c_str());
    return 1;
  }
  std::printf("%s %lld %s of %d camera%s into %s\n", verb, frames, what, cameras,
              cameras == 1 ? "" : "s", out.c_str());
  for (const ReadFault& stop : stops)
    std::fprintf(stderr, "kestrova-take: the depth frames are cut short; %s every whole frame before %s\n",
                 verb, stop.Text().c_str());
  return stops.empty() ? 0 : 1;
}

// Runs `write` into OUT. A folder that does not exist yet is made only for
// a run that wrote its files: they are written beside it and the folder is
// renamed into place at the end (an export cut short by a crash's tail
// still wrote every whole frame). `write` returns false when it failed.
bool IntoFolder(const std::string& out, const std::function<bool(const std::string& folder)>& write,
                std::string* error) {
  struct stat info;
  if (::stat(out.c_str(), &info) == 0) return write(out);
  StagedFolder staged;
  if (!staged.Begin(out, error)) return false;
  return write(staged.Path()) && staged.Commit({}, "", error);
}

int ExportDepth(const std::string& dir, const std::vector<std::string>& args) {
  DepthExportOptions options;
  options.take = dir;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--depth") continue;
    if (arg == "--to" && i + 1 < args.size()) {
      options.out = args[++i];
    } else if (arg == "--depth-format" && i + 1 < args.size()) {
      const std::string format = args[++i];
      if (format != "png" && format != "pgm") return Usage("--depth-format is png or pgm");
      options.png = format == "png";
    } else {
      return Usage("unknown or incomplete option '" + arg + "' for a depth export");
    }
  }
  if (options.out.empty()) return Usage("export needs --to OUT");
  DepthExportResult result;
  std::string error;
  const bool done = IntoFolder(options.out, [&](const std::string& folder) {
    DepthExportOptions into = options;
    into.out = folder;
    return ExportDepthFrames(into, &result, &error, ShowProgress);
  }, &error);
  return DepthWorkDone(done, error, "exported", "depth frames", result.files, result.cameras,
                       options.out, result.stops);
}

int Export(const std::string& dir, const std::vector<std::string>& args) {
  for (const std::string& arg : args)
    if (arg == "--depth") return ExportDepth(dir, args);
  ExportOptions options;
  options.dir = dir;
  std::string error;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const bool hasValue = i + 1 < args.size();
    if (arg == "--merge") {
      options.merge = true;
    } else if (arg == "--to" && hasValue) {
      options.out = args[++i];
    } else if (arg == "--format" && hasValue) {
      const std::string format = args[++i];
      if (format != "pcd" && format != "ply") return Usage("--format is pcd or ply");
      options.ply = format == "ply";
    } else if (arg == "--units" && hasValue) {
      const std::string units = args[++i];
      if (units != "cm" && units != "pcl") return Usage("--units is cm or pcl");
      options.centimetres = units == "cm";
    } else if (arg == "--frames" && hasValue) {
      if (!ParseFrameRange(args[++i], &options, &error)) return Usage(error);
    } else {
      return Usage("unknown or incomplete option '" + arg + "'");
    }
  }
  if (options.out.empty()) return Usage("export needs --to OUT");
  ExportResult result;
  const bool done = IntoFolder(options.out, [&](const std::string& folder) {
    ExportOptions into = options;
    into.out = folder;
    return ExportTake(into, &result, &error, ShowProgress);
  }, &error);
  if (!done) {
    std::fprintf(stderr, "kestrova-take: %s\n", error.c_str());
    return 1;
  }
  std::printf("exported %d frames into %d files in %s\n", result.frames, result.files,
              options.out.c_str());
  for (const ReadFault& stop : result.stops)
    std::fprintf(stderr, "kestrova-take: the take is cut short; exported every whole record before %s\n",
                 stop.Text().c_str());
  for (const ReadFault& fault : result.takeFaults)
    std::fprintf(stderr, "kestrova-take: %s; exported every camera with files\n", fault.Text().c_str());
  return result.stops.empty() && result.takeFaults.empty() ? 0 : 1;
}

int Reprocess(const std::string& dir, const std::vector<std::string>& args) {
  ReprocessOptions options;
  options.take = dir;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--to" && i + 1 < args.size()) {
      options.out = args[++i];
    } else if (arg == "--params" && i + 1 < args.size()) {
      options.paramsFile = args[++i];
    } else if (arg == "--replace") {
      options.replace = true;
    } else {
      return Usage("unknown or incomplete option '" + arg + "'");
    }
  }
  if (options.out.empty()) return Usage("reprocess needs --to OUT");
  // A stop asked for by a signal ends the run between two frames; the new
  // take, not yet complete, is not written.
  StopOnSignals();
  options.stop = [] { return StopSignal() != 0; };
  ReprocessResult result;
  std::string error;
  const bool done = ReprocessTake(options, &result, &error, ShowProgress);
  if (result.stopped) {
    std::fprintf(stderr, "\nkestrova-take: stopped by %s; nothing was written\n", StopSignalText(StopSignal()).c_str());
    return 1;
  }
  return DepthWorkDone(done, error, "processed", "frames", result.frames, result.cameras, options.out,
                       result.stops);
}

int Align(const std::string& dir, const std::vector<std::string>& args) {
  std::string writePath;
  int reference = -1;
  long frames = 6;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--write" && i + 1 < args.size()) {
      writePath = args[++i];
    } else if (arg == "--reference" && i + 1 < args.size()) {
      if (!ParseCameraNumber(args[++i], &reference)) return Usage("--reference takes a camera number 1 to 4");
    } else if (arg == "--frames" && i + 1 < args.size()) {
      const std::string& value = args[++i];
      char* end = nullptr;
      frames = std::strtol(value.c_str(), &end, 10);
      if (value.empty() || *end != '\0' || frames < 1 || frames > 1000)
        return Usage("--frames takes a whole number from 1 to 1000: '" + value + "'");
    } else {
      return Usage("unknown or incomplete option '" + arg + "'");
    }
  }
  if (writePath.empty()) return Usage("align needs --write FILE");
  OperatorSettings settings;
  CameraSettings cameras;
  std::string error;
  AlignmentClouds clouds;
  if (!LoadAlignSettings(dir + "/RECPARAM.txt", &settings, &cameras, &error) ||
      !GatherTakeClouds(dir, settings, cameras, static_cast<int>(frames), &clouds, &error)) {
    std::fprintf(stderr, "kestrova-take: %s\n", error.c_str());
    return kAlignFailed;
  }
  if (reference >= 0 && !clouds.present[reference]) {
    std::fprintf(stderr, "kestrova-take: the reference camera %d is not enabled\n", reference + 1);
    return kAlignFailed;
  }
  const AlignmentReport report = TimedAlignment("kestrova-take", settings, cameras, clouds, reference);
  return WriteAlignment("kestrova-take", settings, cameras, report, writePath);
}

int View(const std::string& dir, const std::vector<std::string>& args) {
  ViewOptions options;
  options.dir = dir;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--once") {
      options.once = true;
    } else if (arg == "--speed" && i + 1 < args.size()) {
      options.speed = std::atof(args[++i].c_str());
      if (!(options.speed > 0 && options.speed <= 64)) return Usage("--speed takes a number above 0, at most 64");
    } else if (arg == "--screenshot" && i + 1 < args.size()) {
      options.screenshot = args[++i];
    } else {
      return Usage("unknown or incomplete option '" + arg + "'");
    }
  }
  std::string error;
  if (!ViewTake(options, &error)) {
    std::fprintf(stderr, "kestrova-take: %s\n", error.c_str());
    return 1;
  }
  return 0;
}

int Times(const std::string& dir, const std::vector<std::string>& options) {
  std::string csvPath;
  for (size_t i = 0; i < options.size(); ++i) {
    if (options[i] == "--csv" && i + 1 < options.size()) {
      csvPath = options[++i];
    } else {
      return Usage("unknown or incomplete option '" + options[i] + "'");
    }
  }
  TakeTimeTable table;
  std::string error;
  if (!table.Open(dir, &error)) {
    std::fprintf(stderr, "kestrova-take: %s\n", error.c_str());
    return 1;
  }
  const std::vector<CameraClock>& cameras = table.Cameras();
  if (table.UsesClockFile()) {
    std::printf("take time on the recorder's clock (%s), read at camera %d's frames (the most frames)\n",
                kTakeClockFile, cameras[table.Reference()].number);
  } else {
    std::printf("take time on camera %d's clock (the most frames)", cameras[table.Reference()].number);
    for (size_t i = 0; i < cameras.size(); ++i)
      if (i != table.Reference())
        std::printf("; camera %d's clock %+.1f ms", cameras[i].number, cameras[i].offsetMs);
    std::printf(" (%s: each clock placed by its median gap)\n", table.ClockNote().c_str());
  }

  std::FILE* out = stdout;
  if (!csvPath.empty() && (out = std::fopen(csvPath.c_str(), "w")) == nullptr) {
    std::fprintf(stderr, "kestrova-take: cannot write %s: %s\n", csvPath.c_str(), std::strerror(errno));
    return 1;
  }
  const bool csv = !csvPath.empty();
  const char* gap = csv ? "," : " ";
  std::fprintf(out, csv ? "frame,take_time_ms" : "%8s %12s", "frame", "take_ms");
  for (const CameraClock& c : cameras) {
    if (csv)
      std::fprintf(out, ",cam%d_stamp_ms,cam%d_since_first_ms", c.number, c.number);
    else
      std::fprintf(out, " %13s%d %10s%d", "stamp_", c.number, "since_", c.number);
  }
  std::fputc('\n', out);
  long long rows = 0;
  const bool read = table.ForEachRow([&](const TimeRow& row) {
    std::fprintf(out, csv ? "%lld,%.3f" : "%8lld %12.3f", static_cast<long long>(row.frame), row.takeTimeMs);
    for (size_t i = 0; i < row.has.size(); ++i) {
      if (!row.has[i]) {
        std::fprintf(out, csv ? ",," : " %14s %11s", "-", "-");
        continue;
      }
      std::fprintf(out, csv ? "%s%lld%s%lld" : "%s%14lld%s%11lld", gap, static_cast<long long>(row.stamp[i]), gap,
                   static_cast<long long>(row.sinceFirst[i]));
    }
    std::fputc('\n', out);
    ++rows;
  }, &error);
  const bool written = !csv || (std::fflush(out) == 0 && !std::ferror(out));
  if (csv) std::fclose(out);
  if (!read || !written) {
    std::fprintf(stderr, "kestrova-take: %s\n", read ? ("cannot write " + csvPath).c_str() : error.c_str());
    return 1;
  }
  std::printf("%lld frames; the mapped times of one cycle's frames lie within %.1f ms of each other; "
              "%lld cycles lack a camera's frame\n",
              rows, table.LargestSpreadMs(), table.CyclesMissingACamera());
  if (csv) std::printf("wrote %s\n", csvPath.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) return Usage("no command");
  const bool help = std::find_if(args.begin(), args.end(), [](const std::string& arg) {
                      return arg == "--help" || arg == "-h";
                    }) != args.end();
  if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
    PrintHelp(nullptr);
    return 0;
  }
  if (args[0] == "--version") {
    std::fputs(VersionText("kestrova-take").c_str(), stdout);
    return 0;
  }
  const Command* command = FindCommand(args[0]);
  if (command == nullptr) {
    std::string verbs;
    for (const Command& known : kCommands) verbs += (verbs.empty() ? "" : ", ") + std::string(known.verb);
    return Usage("unknown command '" + args[0] + "' (the commands: " + verbs + ")");
  }
  if (help) {
    PrintHelp(command);
    return 0;
  }
  if (args.size() < 2 || args[1].rfind("--", 0) == 0) return Usage(args[0] + " needs a take directory");
  const std::string verb = args[0], dir = args[1];
  const std::vector<std::string> rest(args.begin() + 2, args.end());
  if (verb == "info") {
    if (!rest.empty() && !(rest.size() == 1 && rest[0] == "--json")) return Usage("info takes only --json");
    return Info(dir, !rest.empty());
  }
  if (verb == "verify") {
    if (!rest.empty()) return Usage("verify takes no options");
    return Verify(dir);
  }
  if (verb == "export") return Export(dir, rest);
  if (verb == "view") return View(dir, rest);
  if (verb == "times") return Times(dir, rest);
  if (verb == "reprocess") return Reprocess(dir, rest);
  return Align(dir, rest);
}
