// Cinnamon: its own copy of GNOME's background settings.
#include "module_setters.h"
#include "session_bus.h"

namespace layer {
namespace {

bool CanRun() { return true; }

bool Show(const char* path, WallpaperFit fit, std::string* why) {
  static const char* const kKeys[] = {"picture-uri", nullptr};
  return WriteDesktopSettings("org.cinnamon.desktop.background", kKeys, FileUri(path), fit, why);
}

}  // namespace

const DesktopSetter kCinnamonDesktop = {"cinnamon", CanRun, Show, true, nullptr, nullptr};

}  // namespace layer
