// Makes Xlib safe for the two threads that use it: Qt's on the main thread
// and the preview's VTK window on the preview thread. Call first in main,
// before anything opens a display. (Kept apart: Xlib's macros clash with
// Qt's and Eigen's names.)
#pragma once

namespace kestrova {
void EnableX11Threads();
}
