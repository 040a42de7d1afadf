#include "preview/X11Events.h"

#include <vtkRenderWindow.h>
#include <vtkXRenderWindowInteractor.h>

namespace kestrova {

void HandlePendingEvents(vtkRenderWindow& window) {
  auto* interactor = vtkXRenderWindowInteractor::SafeDownCast(window.GetInteractor());
  auto* display = static_cast<Display*>(window.GetGenericDisplayId());
  if (interactor == nullptr || display == nullptr) return;
  // The render window has a display connection of its own: every event on
  // it is for this window.
  while (XPending(display) > 0) {
    XEvent event;
    XNextEvent(display, &event);
    interactor->DispatchEvent(&event);
  }
}

}  // namespace kestrova
