#include "preview/X11Events.h"

#include <vtkRenderWindow.h>
#include <vtkXRenderWindowInteractor.h>

namespace kestrova {

bool HandlePendingEvents(vtkRenderWindow& window) {
  auto* interactor = vtkXRenderWindowInteractor::SafeDownCast(window.GetInteractor());
  auto* display = static_cast<Display*>(window.GetGenericDisplayId());
  if (interactor == nullptr || display == nullptr) return false;
  const Atom closeRequest = XInternAtom(display, "WM_DELETE_WINDOW", False);
  bool redraw = false;
  // The render window has a display connection of its own: every event on
  // it is for this window.
  while (XPending(display) > 0) {
    XEvent event;
    XNextEvent(display, &event);
    interactor->DispatchEvent(&event);
    redraw = redraw || event.type == Expose || event.type == ConfigureNotify || event.type == MapNotify;
    // The close box. VTK acts on it only inside its own event loop; here it
    // goes the way of the viewer's quit key, so the viewer counts as stopped.
    if (event.type == ClientMessage && static_cast<Atom>(event.xclient.data.l[0]) == closeRequest)
      interactor->ExitCallback();
  }
  return redraw;
}

void RaiseWindow(vtkRenderWindow& window) {
  auto* display = static_cast<Display*>(window.GetGenericDisplayId());
  const auto id = reinterpret_cast<Window>(window.GetGenericWindowId());
  if (display == nullptr || id == 0) return;
  XMapRaised(display, id);
  // Window managers raise and focus a window on this request of a pager
  // (source 2), where they may ignore an application's own.
  XEvent activate{};
  activate.xclient.type = ClientMessage;
  activate.xclient.window = id;
  activate.xclient.message_type = XInternAtom(display, "_NET_ACTIVE_WINDOW", False);
  activate.xclient.format = 32;
  activate.xclient.data.l[0] = 2;
  activate.xclient.data.l[1] = CurrentTime;
  XSendEvent(display, DefaultRootWindow(display), False,
             SubstructureRedirectMask | SubstructureNotifyMask, &activate);
  XFlush(display);
}

}  // namespace kestrova
