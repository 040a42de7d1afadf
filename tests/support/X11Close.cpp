#include "tests/support/X11Close.h"

#include <X11/Xlib.h>

#include <cstring>

namespace kestrova::testing {

bool RequestWindowClose(unsigned long window) {
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) return false;
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = window;
  event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", True);
  event.xclient.format = 32;
  event.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
  event.xclient.data.l[1] = CurrentTime;
  Status sent = XSendEvent(display, window, False, NoEventMask, &event);
  XFlush(display);
  XCloseDisplay(display);
  return sent != 0;
}

namespace {

int IgnoreXError(Display*, XErrorEvent*) { return 0; }

int CountViewable(Display* display, Window window, const char* title) {
  int count = 0;
  XWindowAttributes attributes{};
  char* name = nullptr;
  if (XGetWindowAttributes(display, window, &attributes) && attributes.map_state == IsViewable &&
      XFetchName(display, window, &name) && name != nullptr) {
    count += std::strcmp(name, title) == 0;
  }
  if (name != nullptr) XFree(name);
  Window root, parent, *children = nullptr;
  unsigned int n = 0;
  if (XQueryTree(display, window, &root, &parent, &children, &n)) {
    for (unsigned int i = 0; i < n; ++i) count += CountViewable(display, children[i], title);
    if (children != nullptr) XFree(children);
  }
  return count;
}

}  // namespace

int WindowsOnScreen(const char* title) {
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) return 0;
  // A window may go while the tree is walked: its BadWindow is no failure.
  auto previous = XSetErrorHandler(IgnoreXError);
  const int count = CountViewable(display, DefaultRootWindow(display), title);
  XSync(display, False);
  XSetErrorHandler(previous);
  XCloseDisplay(display);
  return count;
}

}  // namespace kestrova::testing
