#include "settings/Version.h"

namespace kestrova {

std::string ProgramVersion() { return KESTROVA_VERSION; }

std::string VersionText(const std::string& program) { return program + " " + ProgramVersion() + "\n"; }

}  // namespace kestrova
