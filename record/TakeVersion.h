// VERSION.txt: which build of Kestrova wrote a take. Text, CR LF line ends,
// written when the take starts, right after RECPARAM.txt:
//   # Kestrova version file 1
//   WRITTEN: 0.1+git153.g7fe0ffa
//   RECORDED: 0.1+git140.g1c2d3e4
// A line starting with '#' is a comment (the first names the format).
// "WRITTEN:" is the version of the program that wrote the take's files: the
// recorder, or for a take made by `kestrova-take reprocess` the build that
// reprocessed it. "RECORDED:" is only in a reprocessed take: the version that
// recorded the depth frames it was made from ("unknown" when that take had
// no VERSION.txt); reprocessing a reprocessed take keeps it. Lines with other
// labels are skipped, so later versions may add some.
//
// The file is optional: takes made before it existed have none, and their
// version is unknown.
#pragma once

#include <string>

#include "record/TakeReader.h"

namespace kestrova {

inline constexpr char kTakeVersionFile[] = "VERSION.txt";
inline constexpr char kUnknownVersion[] = "unknown";

struct TakeVersion {
  std::string written;   // the version of the program that wrote the files
  std::string recorded;  // a reprocessed take's recorder; empty otherwise
};

// The version of this program, for a take it records.
TakeVersion RecordingVersion();
// The version of a take this program makes from `original`'s depth frames
// (`found`: whether that take has a VERSION.txt).
TakeVersion ReprocessingVersion(const TakeVersion& original, bool found);

// The file's bytes.
std::string TakeVersionText(const TakeVersion& version);

// Writes DIR/VERSION.txt whole or not at all.
bool WriteTakeVersion(const std::string& dir, const TakeVersion& version, std::string* error);

// Reads DIR/VERSION.txt. False when there is none (`fault->any` clear) or it
// is damaged (`fault` says where).
bool ReadTakeVersion(const std::string& dir, TakeVersion* version, ReadFault* fault);

}  // namespace kestrova
