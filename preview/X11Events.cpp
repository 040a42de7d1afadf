#include "preview/X11Events.h"

#include <vtkRenderWindow.h>
#include <vtkXRenderWindowInteractor.h>

namespace kestrova {

void HandlePendingEvents(vtkRenderWindow& window) {
  auto* interactor = vtkXRenderWindowInteractor::SafeDownCast(window.GetInteractor());
  auto* display = static_cast<Display*>(window.GetGenericDisplayId());
  if (interactor == nullptr || display == nullptr) return;
  const Atom closeRequest = XInternAtom(display, "WM_DELETE_WINDOW", False);
  // The render window has a display connection of its own: every event on
  // it is for this window.
  while (XPending(display) > 0) {
    XEvent event;
    XNextEvent(display, &event);
    interactor->DispatchEvent(&event);
    // The close box. VTK acts on it only inside its own event loop; here it
    // goes the way of the viewer's quit key, so the viewer counts as stopped.
    if (event.type == ClientMessage && static_cast<Atom>(event.xclient.data.l[0]) == closeRequest)
      interactor->ExitCallback();
  }
}

}  // namespace kestrova
