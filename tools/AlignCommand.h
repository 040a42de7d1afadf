// What kestrova-align and "kestrova-take align" share: the settings they
// start from, the result table and the settings file they write.
#pragma once

#include <string>

#include "align/AlignmentRun.h"

namespace kestrova {

// Exit statuses of both.
constexpr int kAlignAllAligned = 0;
constexpr int kAlignFailed = 1;
constexpr int kAlignBadOption = 2;
constexpr int kAlignCameraNotAligned = 3;

// The settings the tools start from: the built-in defaults, then `path`
// (an error when it cannot be read), or, when `path` is empty,
// KVA_Params.txt when present.
bool LoadAlignSettings(const std::string& path, OperatorSettings* settings, CameraSettings* cameras,
                       std::string* error);

// Says on stderr from how many cycles the alignment works, and how many
// gathered ones it left out.
void PrintCycles(const char* tool, const AlignmentClouds& clouds);

// Aligns `clouds`, saying on stderr from how many cycles and how long it took.
AlignmentReport TimedAlignment(const char* tool, const OperatorSettings& settings,
                               const CameraSettings& cameras, const AlignmentClouds& clouds,
                               int reference);

// Prints the table to stdout, writes `writePath` (the settings with the
// found poses), names each camera not aligned and returns the exit status;
// `tool` prefixes messages.
int WriteAlignment(const char* tool, const OperatorSettings& settings, CameraSettings cameras,
                   const AlignmentReport& report, const std::string& writePath);

// "C" (1..4) into slot C - 1.
bool ParseCameraNumber(const std::string& text, int* slot);

}  // namespace kestrova
