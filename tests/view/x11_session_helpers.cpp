#include "x11_session_helpers.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace desktoptest {
namespace {

// One short-lived connection per request: the tests' own, never Qt's.
class Connection {
 public:
  Connection() : display_(XOpenDisplay(nullptr)) {}
  ~Connection() {
    if (display_ != nullptr) XCloseDisplay(display_);
  }
  Display* get() const { return display_; }

 private:
  Display* display_;
};

void SetWmState(unsigned long window, long state) {
  Connection x;
  if (x.get() == nullptr) return;
  Atom wm_state = XInternAtom(x.get(), "WM_STATE", False);
  long data[2] = {state, 0};
  XChangeProperty(x.get(), window, wm_state, wm_state, 32, PropModeReplace,
                  reinterpret_cast<unsigned char*>(data), 2);
  XSync(x.get(), False);
}

void Collect(Display* x, ::Window window, Atom name_atom, const std::string& title, std::vector<unsigned long>* found,
             int depth) {
  unsigned char* value = nullptr;
  Atom type;
  int format;
  unsigned long count, after;
  if (XGetWindowProperty(x, window, name_atom, 0, 1024, False, AnyPropertyType, &type, &format, &count, &after,
                         &value) == Success &&
      value != nullptr) {
    if (std::string(reinterpret_cast<char*>(value), count) == title) found->push_back(window);
    XFree(value);
  }
  if (depth == 0) return;
  ::Window root, parent, *children = nullptr;
  unsigned int n = 0;
  if (XQueryTree(x, window, &root, &parent, &children, &n) == 0) return;
  for (unsigned int i = 0; i < n; ++i) Collect(x, children[i], name_atom, title, found, depth - 1);
  if (children != nullptr) XFree(children);
}

}  // namespace

void Iconify(unsigned long window) { SetWmState(window, IconicState); }

void RequestClose(unsigned long window) {
  Connection x;
  if (x.get() == nullptr) return;
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = window;
  event.xclient.message_type = XInternAtom(x.get(), "WM_PROTOCOLS", False);
  event.xclient.format = 32;
  event.xclient.data.l[0] = static_cast<long>(XInternAtom(x.get(), "WM_DELETE_WINDOW", False));
  event.xclient.data.l[1] = CurrentTime;
  XSendEvent(x.get(), window, False, NoEventMask, &event);
  XSync(x.get(), False);
}

std::vector<unsigned long> WindowsNamed(const std::string& title) {
  std::vector<unsigned long> found;
  Connection x;
  if (x.get() == nullptr) return found;
  Atom name = XInternAtom(x.get(), "_NET_WM_NAME", False);
  Collect(x.get(), DefaultRootWindow(x.get()), name, title, &found, 1);
  return found;
}

WindowWatch::WindowWatch() : display_(XOpenDisplay(nullptr)) {}

WindowWatch::~WindowWatch() {
  if (display_ != nullptr) XCloseDisplay(static_cast<Display*>(display_));
}

bool WindowWatch::Shows(const std::string& title) {
  auto* x = static_cast<Display*>(display_);
  if (x == nullptr) return false;
  std::vector<unsigned long> found;
  Collect(x, DefaultRootWindow(x), XInternAtom(x, "_NET_WM_NAME", False), title, &found, 1);
  XWindowAttributes attributes{};
  return !found.empty() && XGetWindowAttributes(x, found.front(), &attributes) != 0 &&
         attributes.map_state == IsViewable;
}

bool Viewable(unsigned long window) {
  Connection x;
  XWindowAttributes attributes{};
  return x.get() != nullptr && XGetWindowAttributes(x.get(), window, &attributes) != 0 &&
         attributes.map_state == IsViewable;
}

bool Embedded(unsigned long window) {
  Connection x;
  if (x.get() == nullptr) return false;
  ::Window root, parent, *children = nullptr;
  unsigned int n = 0;
  if (XQueryTree(x.get(), window, &root, &parent, &children, &n) == 0) return false;
  if (children != nullptr) XFree(children);
  return parent != root;
}

}  // namespace desktoptest
