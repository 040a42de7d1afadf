// The report of `kestrova-take info`, as text or as JSON.
#pragma once

#include <string>

#include "record/TakeCheck.h"

namespace kestrova {

std::string TakeInfoText(const TakeReport& report);
std::string TakeInfoJson(const TakeReport& report);

}  // namespace kestrova
