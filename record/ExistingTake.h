// What a new take would replace: the take files already in a directory.
// Both programs ask (the window) or refuse (kestrova-record without
// --replace) before recording over them.
#pragma once

#include <string>

namespace kestrova {

// Empty when `dir` holds no take file (RECPARAM.txt, PCLn.dat, TSn.txt,
// DEPTHn.dat); else what is there, for the operator: "a take started Mon
// Dec 07 00:00:42 2026 (RECPARAM.txt, PCL1.dat, TS1.txt; 12.3 MB)".
std::string DescribeExistingTake(const std::string& dir);

}  // namespace kestrova
