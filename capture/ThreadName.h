// Names the calling thread as `top -H`, `ps -L` and debuggers show it
// (at most 15 characters are kept), so that an operator can see which part
// of the program uses the CPU: "kv-worker 2", "kv-preview", ...
#pragma once

#include <string>

namespace kestrova {

void NameThisThread(const std::string& name);

}  // namespace kestrova
