// RandR monitors for the desktop tests; apart from the other helpers, whose
// Windows names clash with Xlib's.
#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

#include <cstdio>
#include <string>
#include <vector>

#include "desktop_helpers.h"

namespace desktoptest {

bool SetMonitors(const std::string& name, const std::vector<std::string>& areas, size_t* set) {
  Display* display = XOpenDisplay(name.c_str());
  if (display == nullptr) return false;
  Window root = DefaultRootWindow(display);
  for (; *set > 0; --*set)
    XRRDeleteMonitor(display, root, XInternAtom(display, ("M" + std::to_string(*set - 1)).c_str(), False));
  XRRScreenResources* resources = XRRGetScreenResources(display, root);
  if (resources->noutput < 1) {
    XCloseDisplay(display);
    return false;
  }
  RROutput output = resources->outputs[0];
  XRRFreeScreenResources(resources);
  for (size_t i = 0; i < areas.size(); ++i) {
    XRRMonitorInfo* monitor = XRRAllocateMonitor(display, i == 0 ? 1 : 0);
    if (i == 0) monitor->outputs[0] = output;
    monitor->name = XInternAtom(display, ("M" + std::to_string(i)).c_str(), False);
    std::sscanf(areas[i].c_str(), "%d,%d,%d,%d", &monitor->x, &monitor->y, &monitor->width, &monitor->height);
    monitor->mwidth = monitor->width / 4, monitor->mheight = monitor->height / 4;
    XRRSetMonitor(display, root, monitor);
    XRRFreeMonitors(monitor);
  }
  *set = areas.size();
  XSync(display, False);
  int count = 0;
  XRRFreeMonitors(XRRGetMonitors(display, root, False, &count));
  XCloseDisplay(display);
  return count == static_cast<int>(areas.size());
}

}  // namespace desktoptest
