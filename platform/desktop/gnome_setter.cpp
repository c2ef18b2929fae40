// GNOME and the desktops on its settings (Unity, Budgie, Pantheon). Both
// the light and the dark style's picture are set, or the dark style would
// keep the old one.
#include "module_setters.h"
#include "session_bus.h"

namespace layer {
namespace {

bool CanRun() { return true; }

bool Show(const char* path, WallpaperFit fit, std::string* why) {
  static const char* const kKeys[] = {"picture-uri", "picture-uri-dark", nullptr};
  return WriteDesktopSettings("org.gnome.desktop.background", kKeys, FileUri(path), fit, why);
}

}  // namespace

const DesktopSetter kGnomeDesktop = {"gnome", CanRun, Show, true, nullptr, nullptr};

}  // namespace layer
