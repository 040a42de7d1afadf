// Angles as the settings give them (degrees) and as the transforms take
// them (radians), worked out in double.
#pragma once

namespace kestrova {

inline constexpr double kPi = 3.141592653589793;

inline double Radians(double degrees) { return degrees / 180.0 * kPi; }

}  // namespace kestrova
