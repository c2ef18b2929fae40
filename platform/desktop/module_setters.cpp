// The module's entry points: the setter of a name, and the X server's
// monitors.
#include <cstring>

#include "module_setters.h"

extern "C" __attribute__((visibility("default"))) const layer::DesktopSetter* SkerrowDesktopSetter(const char* name) {
  using namespace layer;
  for (const DesktopSetter* setter :
       {&kGnomeDesktop, &kCinnamonDesktop, &kMateDesktop, &kPlasmaDesktop, &kXfceDesktop, &kX11Desktop})
    if (std::strcmp(setter->name, name) == 0) return setter;
  return nullptr;
}

extern "C" __attribute__((visibility("default"))) bool SkerrowListMonitors(std::vector<layer::MonitorPlace>* monitors,
                                                                           std::string* why) {
  return layer::ListRandrMonitors(monitors, why);
}
