// What a new take would replace: the take files already in a directory.
// Both programs ask (the window) or refuse (kestrova-record without
// --replace) before recording over them.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "settings/Settings.h"

namespace kestrova {

// Empty when `dir` holds no take file (RECPARAM.txt, CLOCK.txt, LENS.txt,
// PCLn.dat, TSn.txt, DEPTHn.dat); else what is there, for the operator: "a take started Mon
// Dec 07 00:00:42 2026 (RECPARAM.txt, PCL1.dat, TS1.txt; 12.3 MB)".
std::string DescribeExistingTake(const std::string& dir);

// The take files in `dir` that a new take of `cameras` (with depth frames
// when `keepDepth`) would not write, camera by camera: the older take's
// files that must go when the new take replaces it, so that no file of it
// passes for one of the new take.
std::vector<std::string> OlderTakeFiles(const std::string& dir, const std::array<bool, kCameraCount>& cameras,
                                        bool keepDepth);

}  // namespace kestrova
