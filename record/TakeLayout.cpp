#include "record/TakeLayout.h"

namespace kestrova {

std::string CameraFileName(CameraFile file, int slot) {
  const std::string n = std::to_string(slot + 1);
  switch (file) {
    case CameraFile::Points: return "PCL" + n + ".dat";
    case CameraFile::TimeStamps: return "TS" + n + ".txt";
    case CameraFile::Depth: return "DEPTH" + n + ".dat";
  }
  return std::string();
}

}  // namespace kestrova
