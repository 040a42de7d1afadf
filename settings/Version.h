// The program's version, one text for every program and for what they
// announce to each other.
#pragma once

#include <string>

namespace kestrova {

// "0.1": the project's version as the build gives it.
std::string ProgramVersion();

}  // namespace kestrova
