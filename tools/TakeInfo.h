// The report of `kestrova-take info`, as text or as JSON.
#pragma once

#include <string>

#include "record/TakeCheck.h"

namespace kestrova {

// How the take's cycles came out: how far apart one cycle's frames lie on
// one clock (the take's CLOCK.txt, or each camera's stamps placed by its
// median gap), and the cycles that lack some camera's frame.
struct TakeCycles {
  bool known = false;  // the time stamps could be read
  bool clockFile = false;
  double largestSpreadMs = 0;
  long long cycles = 0;
  long long missingACamera = 0;
};

// Reads the take's time table for `info`.
TakeCycles ExamineCycles(const std::string& dir);

std::string TakeInfoText(const TakeReport& report, const TakeCycles& cycles = TakeCycles());
std::string TakeInfoJson(const TakeReport& report, const TakeCycles& cycles = TakeCycles());

}  // namespace kestrova
