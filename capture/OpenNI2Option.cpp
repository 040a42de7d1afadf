#include "capture/OpenNI2Option.h"

#include <algorithm>
#include <cstdlib>

#include "settings/DepthFrameFormat.h"
#include "settings/Settings.h"

namespace kestrova {

namespace {

constexpr char kPrefix[] = "openni2:";

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

bool ParseWhole(const std::string& text, int low, int high, int* value) {
  if (text.empty() || text.size() > 6 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  const int number = std::atoi(text.c_str());
  if (number < low || number > high) return false;
  *value = number;
  return true;
}

// "WxH@FPS"
bool ParseMode(const std::string& text, OpenNI2Option* option) {
  const std::size_t x = text.find('x'), at = text.find('@');
  if (x == std::string::npos || at == std::string::npos || at < x) return false;
  return ParseWhole(text.substr(0, x), 1, kMaxDepthWidth, &option->width) &&
         ParseWhole(text.substr(x + 1, at - x - 1), 1, kMaxDepthHeight, &option->height) &&
         ParseWhole(text.substr(at + 1), 1, 1000, &option->fps);
}

}  // namespace

bool IsOpenNI2Option(const std::string& option) { return option == "openni2" || option.rfind(kPrefix, 0) == 0; }

bool IsOniFile(const std::string& device) { return EndsWith(device, ".oni") || EndsWith(device, ".ONI"); }

bool IsOpenNI2Playback(const std::string& option) {
  OpenNI2Option parsed;
  std::string error;
  return ParseOpenNI2Option(option, &parsed, &error) && !parsed.devices.empty() &&
         std::all_of(parsed.devices.begin(), parsed.devices.end(), IsOniFile);
}

bool ParseOpenNI2Option(const std::string& option, OpenNI2Option* parsed, std::string* error) {
  *parsed = OpenNI2Option();
  if (option == "openni2") return true;
  if (option.rfind(kPrefix, 0) != 0) {
    *error = "'" + option + "' is not openni2 or openni2:...";
    return false;
  }
  const std::string items = option.substr(sizeof kPrefix - 1);
  std::size_t start = 0;
  while (start <= items.size()) {
    std::size_t end = items.find(',', start);
    if (end == std::string::npos) end = items.size();
    const std::string item = items.substr(start, end - start);
    start = end + 1;
    if (item.empty()) {
      *error = "openni2: an empty item (devices and mode=WxH@FPS are separated by single commas)";
      return false;
    }
    if (item.rfind("mode=", 0) == 0) {
      if (!ParseMode(item.substr(5), parsed)) {
        *error = "openni2: mode '" + item.substr(5) + "' is not WxH@FPS (1 to " + std::to_string(kMaxDepthWidth) +
                 " by 1 to " + std::to_string(kMaxDepthHeight) + " pixels, 1 to 1000 frames a second)";
        return false;
      }
      continue;
    }
    if (std::find(parsed->devices.begin(), parsed->devices.end(), item) != parsed->devices.end()) {
      *error = "openni2: device '" + item + "' is named twice";
      return false;
    }
    parsed->devices.push_back(item);
  }
  if (parsed->devices.size() > static_cast<std::size_t>(kCameraCount)) {
    *error = "openni2: " + std::to_string(parsed->devices.size()) + " devices named; the recorder takes at most " +
             std::to_string(kCameraCount);
    return false;
  }
  return true;
}

}  // namespace kestrova
