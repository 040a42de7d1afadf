// The 24-character time text of the settings file's "TIME:" line, as the
// recording platform's ctime writes it: "Mon Dec 07 00:00:42 2026".
// English names and a two-digit day whatever the locale (glibc's ctime pads
// the day with a space instead).
#pragma once

#include <ctime>
#include <string>

namespace kestrova {

// Local time of `when`.
std::string CTimeText(std::time_t when);

// The same text for broken-down time fields.
std::string CTimeText(const std::tm& fields);

}  // namespace kestrova
