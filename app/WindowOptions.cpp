#include "app/WindowOptions.h"

#include <cmath>
#include <cstdlib>

#include "capture/SensorChoice.h"

namespace kestrova {

std::string WindowUsage() {
  return std::string(
    "usage: kestrova [--sensors SPEC] [--fps F] [--keep-depth]\n"
    "\n"
    "Records moving 3D scenes with up to four depth cameras: opens the operator\n"
    "window \"Kestrova\" and the live \"Preview\". Settings are kept in\n"
    "KVA_Params.txt in the working directory.\n"
    "\n"
    "  --sensors SPEC  the cameras (default: freenect, the real ones); see below\n"
    "  --fps F         frame rate of simulated or replayed cameras (default 30;\n"
    "                  0 = as fast as the recorder takes them)\n"
    "  --keep-depth    start with \"Keep depth frames\" checked: takes keep every\n"
    "                  camera's depth frames (DEPTHn.dat) to be processed again\n"
    "  --help          this text\n"
    "  --version       the program's version\n"
    "\n") + kSensorSpecHelp + "\n" +
    "Exit status 2 for a bad option, 1 when the cameras could not be opened.\n";
}

bool ParseWindowOptions(const std::vector<std::string>& args, WindowOptions* options,
                        std::string* error) {
  for (size_t i = 0; i < args.size(); ++i) {
    std::string arg = args[i];
    if (arg == "--help" || arg == "-h") {
      options->help = true;
      return true;
    }
    if (arg == "--version") {
      options->version = true;
      return true;
    }
    if (arg == "--keep-depth") {
      options->keepDepth = true;
      continue;
    }
    std::string value;
    bool hasValue = false;
    const size_t equals = arg.find('=');
    if (arg.rfind("--", 0) == 0 && equals != std::string::npos) {  // --name=value
      value = arg.substr(equals + 1);
      arg.resize(equals);
      hasValue = true;
    }
    if (arg != "--sensors" && arg != "--fps") {
      *error = "unknown option '" + args[i] + "' (see --help)";
      return false;
    }
    if (!hasValue) {
      if (i + 1 >= args.size()) {
        *error = arg + " needs a value (see --help)";
        return false;
      }
      value = args[++i];
    }
    if (arg == "--sensors") {
      options->sensors = value;
      continue;
    }
    char* end = nullptr;
    const double fps = std::strtod(value.c_str(), &end);
    if (value.empty() || *end != '\0' || !std::isfinite(fps) || fps < 0) {
      *error = "--fps takes a number of 0 or more: '" + value + "'";
      return false;
    }
    options->fps = fps;
  }
  return true;
}

}  // namespace kestrova
