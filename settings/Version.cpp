#include "settings/Version.h"

namespace kestrova {

std::string ProgramVersion() { return KESTROVA_VERSION; }

}  // namespace kestrova
