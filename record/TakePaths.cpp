#include "record/TakePaths.h"

namespace kestrova {

bool ComposeTakePath(const std::string& dir, const std::string& fileName, std::string* path,
                     std::string* error) {
  std::string composed = dir + "/" + fileName;
  if (composed.size() + 1 > kMaxPathBytes) {
    if (error) {
      *error = "path too long (" + std::to_string(composed.size()) + " bytes, at most " +
               std::to_string(kMaxPathBytes - 1) + "): " + composed.substr(0, 60) + "...";
    }
    return false;
  }
  *path = composed;
  return true;
}

}  // namespace kestrova
