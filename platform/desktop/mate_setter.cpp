// MATE: the background settings take a plain path, not a URI.
#include "module_setters.h"
#include "session_bus.h"

namespace layer {
namespace {

bool CanRun() { return true; }

bool Show(const char* path, WallpaperFit fit, std::string* why) {
  static const char* const kKeys[] = {"picture-filename", nullptr};
  return WriteDesktopSettings("org.mate.background", kKeys, std::string(path), fit, why);
}

}  // namespace

const DesktopSetter kMateDesktop = {"mate", CanRun, Show, true, nullptr, nullptr};

}  // namespace layer
