#include "tools/RecordCommand.h"

#include <cmath>
#include <cstdlib>

#include "capture/SensorChoice.h"

namespace kestrova {

std::string RecordUsage() {
  return std::string(
    "usage: kestrova-record [--sensors SPEC] [--fps F] [--params FILE] --out DIR [--replace]\n"
    "                       [--keep-depth] (--frames N | --seconds S)\n"
    "\n"
    "Records one take of every enabled camera into DIR, as the Kestrova window\n"
    "would: RECPARAM.txt, and PCLn.dat and TSn.txt per camera. No preview.\n"
    "\n"
    "  --sensors SPEC  the cameras (default: freenect, the real ones); see below;\n"
    "                  remote cameras take domain=N and security=DIR items\n"
    "  --fps F         frame rate of simulated or replayed cameras (default 30;\n"
    "                  0 = as fast as the recorder takes them)\n"
    "  --params FILE   settings file (default: KVA_Params.txt in the working\n"
    "                  directory when present, else the built-in defaults)\n"
    "  --out DIR       the take directory; it must exist\n"
    "  --replace       record over a take already in DIR (refused otherwise); every\n"
    "                  file of the older take that the new one does not write is\n"
    "                  removed, and named\n"
    "  --keep-depth    keep every camera's depth frames too (DEPTHn.dat), so the\n"
    "                  take can be processed again: kestrova-take reprocess\n"
    "  --frames N      record exactly N cycles\n"
    "  --seconds S     record until S seconds have passed (the take's time limit);\n"
    "                  one of the two is needed, except for a replay, which ends\n"
    "                  after its last frame\n"
    "  --help          this text\n"
    "  --version       the program's version\n"
    "\n") + kSensorSpecHelp + "\n" +
    "Ctrl-C, SIGTERM and SIGHUP end the take cleanly. Exit status 0 when the take\n"
    "was recorded, 1 when it failed, 2 for a bad option, 3 when it was recorded\n"
    "but a camera was lost during it (every loss is named with the frames missing).\n";
}

namespace {

bool ParseNumber(const std::string& text, double* value) {
  if (text.empty()) return false;
  char* end = nullptr;
  *value = std::strtod(text.c_str(), &end);
  return *end == '\0' && std::isfinite(*value);
}

}  // namespace

bool ParseRecordOptions(const std::vector<std::string>& args, RecordOptions* options,
                        std::string* error) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "-h") {
      options->help = true;
      return true;
    }
    if (arg == "--version") {
      options->version = true;
      return true;
    }
    auto value = [&](std::string* out) {
      if (i + 1 >= args.size()) {
        *error = arg + " needs a value";
        return false;
      }
      *out = args[++i];
      return true;
    };
    std::string text;
    double number = 0;
    if (arg == "--replace") {
      options->replace = true;
    } else if (arg == "--keep-depth") {
      options->keepDepth = true;
    } else if (arg == "--sensors") {
      if (!value(&options->sensors) || !CheckSensorSpec(options->sensors, error)) return false;
    } else if (arg == "--params") {
      if (!value(&options->paramsFile)) return false;
    } else if (arg == "--out") {
      if (!value(&options->outputDir)) return false;
    } else if (arg == "--fps") {
      if (!value(&text)) return false;
      if (!ParseNumber(text, &number) || number < 0) {
        *error = "--fps takes a number of 0 or more: '" + text + "'";
        return false;
      }
      options->fps = number;
    } else if (arg == "--frames") {
      if (!value(&text)) return false;
      if (!ParseNumber(text, &number) || number < 1 || number != std::floor(number) ||
          number > 2147483647.0) {
        *error = "--frames takes a whole number of 1 or more: '" + text + "'";
        return false;
      }
      options->frames = static_cast<long>(number);
    } else if (arg == "--seconds") {
      if (!value(&text)) return false;
      if (!ParseNumber(text, &number) || number <= 0) {
        *error = "--seconds takes a number above 0: '" + text + "'";
        return false;
      }
      options->seconds = number;
    } else {
      *error = "unknown option '" + arg + "' (see --help)";
      return false;
    }
  }
  if (options->outputDir.empty()) {
    *error = "--out DIR is required (see --help)";
    return false;
  }
  if (options->frames > 0 && options->seconds > 0) {
    *error = "give either --frames N or --seconds S, not both (see --help)";
    return false;
  }
  if (options->frames == 0 && options->seconds == 0 && !SensorsEndByThemselves(options->sensors)) {
    *error = "give either --frames N or --seconds S (only a replay ends by itself; see --help)";
    return false;
  }
  return true;
}

}  // namespace kestrova
