// X11 windows as the operator sees them: asking one to close the way a
// window manager does when the user clicks its close box (a
// WM_DELETE_WINDOW client message), and counting those on screen.
#pragma once

namespace kestrova::testing {
bool RequestWindowClose(unsigned long window);

// How many windows titled `title` are on screen (mapped and viewable).
int WindowsOnScreen(const char* title);
}
