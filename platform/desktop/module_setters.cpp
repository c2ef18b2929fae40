// The module's one entry point: the setter of a name.
#include <cstring>

#include "module_setters.h"

extern "C" __attribute__((visibility("default"))) const layer::DesktopSetter* SkerrowDesktopSetter(const char* name) {
  using namespace layer;
  for (const DesktopSetter* setter :
       {&kGnomeDesktop, &kCinnamonDesktop, &kMateDesktop, &kPlasmaDesktop, &kXfceDesktop, &kX11Desktop})
    if (std::strcmp(setter->name, name) == 0) return setter;
  return nullptr;
}
