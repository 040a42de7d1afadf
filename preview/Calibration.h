// The scale calibration: the distance between the two points picked in the
// preview (PCL units) divided by their real distance typed by the operator
// (cm) gives the calibration scale (PCL units per cm), in single precision.
// Worked example: picks 0.125 apart and 100 cm give 0.00125.
#pragma once

#include <string>

#include "preview/CalibrationPicks.h"

namespace kestrova {

// False with a reason for the operator when no usable scale results: a
// length that is 0, below 0 or not a number, or two picks so close together
// that the scale would be 0 or too small for a float. The scale always stays
// positive and finite.
bool CalibrationFromPicks(const PickState& picks, float lengthCm, float* calibration,
                          std::string* reason);

}  // namespace kestrova
