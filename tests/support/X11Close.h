// Asks an X11 window to close the way a window manager does when the user
// clicks its close box (a WM_DELETE_WINDOW client message).
#pragma once

namespace kestrova::testing {
bool RequestWindowClose(unsigned long window);
}
