#include "preview/Calibration.h"

#include <cmath>
#include <limits>

namespace kestrova {

bool CalibrationFromPicks(const PickState& picks, float lengthCm, float* calibration,
                          std::string* reason) {
  if (!(lengthCm > 0) || !std::isfinite(lengthCm)) {
    *reason = "The length must be a number of centimetres above 0.";
    return false;
  }
  const float dx = picks.points[0][0] - picks.points[1][0];
  const float dy = picks.points[0][1] - picks.points[1][1];
  const float dz = picks.points[0][2] - picks.points[1][2];
  const float distance = std::sqrt(dx * dx + dy * dy + dz * dz);
  const float scale = distance / lengthCm;
  if (!std::isfinite(scale) || scale < std::numeric_limits<float>::min()) {
    *reason = "The two picked points are too close together to set the scale. "
              "Pick two points farther apart.";
    return false;
  }
  *calibration = scale;
  return true;
}

}  // namespace kestrova
