// The setters that live in the module, for its one exported lookup.
#pragma once

#include "desktop_setter.h"

namespace layer {

extern const DesktopSetter kGnomeDesktop;
extern const DesktopSetter kCinnamonDesktop;
extern const DesktopSetter kMateDesktop;
extern const DesktopSetter kPlasmaDesktop;
extern const DesktopSetter kXfceDesktop;
extern const DesktopSetter kX11Desktop;

// The X server's RandR monitors, named, on the X11 setter's talking thread.
bool ListRandrMonitors(std::vector<MonitorPlace>* monitors, std::string* why);

}  // namespace layer
