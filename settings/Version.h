// The program's version, one text for every program, for what they announce
// to each other and for the takes they write.
#pragma once

#include <string>

namespace kestrova {

// "0.1+git153.g7fe0ffa": the project's version, and the commit when the
// build came from a clone ("0.1" alone otherwise).
std::string ProgramVersion();

// What `program --version` prints: "kestrova-take 0.1+git153.g7fe0ffa\n".
std::string VersionText(const std::string& program);

}  // namespace kestrova
