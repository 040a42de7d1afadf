// The parameter text file: "KVA_Params.txt" in the working directory and
// "RECPARAM.txt" in every take directory. Ten lines, CR LF line ends:
//
//   TIME: Mon Dec 07 00:00:42 2026
//   (one space)
//   CAL: 0.001200
//   CAM: 1 0 0 0
//   ROI: xMin xMax yMin yMax zMin zMax
//   RESOLUTION: 100.000000
//   CAM1: x y z rx ry rz r g b maxDepth      (CAM2 to CAM4 likewise)
//
// Lines 3 to 10 end with a space before the line break. The reader goes by
// line position and skips each line's first word, whatever it is.
#pragma once

#include <array>
#include <cstdio>
#include <string>

#include "settings/Settings.h"

namespace kestrova {

using CameraSettings = std::array<CameraSetting, kCameraCount>;

// The whole file text for the given settings; `timeText` is the 24-character
// text of CTimeText.
std::string FormatParams(const OperatorSettings& settings, const CameraSettings& cameras,
                         const std::string& timeText);

// Parses a parameter text into the fields it holds. Each value line is parsed
// where it stands: a missing line, or a value that does not parse, leaves that
// field and the later fields of its line as they were. Values are stored as
// parsed, without range checks. Accepts CR LF and LF.
void ParseParams(const std::string& text, OperatorSettings& settings, CameraSettings& cameras);

// Reads the first ten lines of an open file (a line is cut at 1023
// characters; the rest of it is skipped), parses them and closes the file.
void ReadParams(std::FILE* file, OperatorSettings& settings, CameraSettings& cameras);

// Replaces the file at `path` with `text` atomically: the text is written and
// synced beside it, then renamed over it, so a crash never leaves a cut file.
// On failure nothing at `path` changes and `error` names the path and reason.
bool WriteFileAtomically(const std::string& path, const std::string& text, std::string* error);

// Removes what WriteFileAtomically left beside `path` when its process was
// killed mid-write ("<path>.tmp<pid>-<n>" of a process that no longer runs).
void RemoveAbandonedTemporaries(const std::string& path);

}  // namespace kestrova
