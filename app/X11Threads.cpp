#include "app/X11Threads.h"

#include <X11/Xlib.h>

namespace kestrova {
void EnableX11Threads() { XInitThreads(); }
}  // namespace kestrova
