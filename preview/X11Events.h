// Handles the X events waiting for a VTK render window (mouse, keys,
// expose, the close box) without waiting for more. VTK's own event loop and
// its ProcessEvents block for up to a second when nothing is pending, which
// would stall the live preview. (Kept apart: Xlib's macros clash with PCL's
// and Eigen's names.)
#pragma once

class vtkRenderWindow;

namespace kestrova {
// True when the window was exposed, mapped or resized: it must be drawn again.
bool HandlePendingEvents(vtkRenderWindow& window);
// Asks the window manager to bring the window to the front.
void RaiseWindow(vtkRenderWindow& window);
}
