// KDE Plasma 5 and 6: a desktop script run by the shell sets the picture
// on every desktop it has, across all screens and activities.
#include <string>

#include "module_setters.h"
#include "session_bus.h"

namespace layer {
namespace {

bool CanRun() { return true; }

// FillMode for each placement, in WallpaperFit's order. The image plugin
// cannot span one picture over the screens: until the program lays out a
// picture per screen itself, a spanned one fills each screen.
constexpr int kFillModes[] = {-1, 2, 1, 0, 6, 3, 2};

// A JavaScript string literal holding `text`.
std::string ScriptString(const std::string& text) {
  std::string literal = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      literal += '\\';
      literal += static_cast<char>(c);
    } else if (c < 0x20) {
      char escaped[8];
      g_snprintf(escaped, sizeof escaped, "\\u%04x", c);
      literal += escaped;
    } else {
      literal += static_cast<char>(c);
    }
  }
  return literal + "\"";
}

bool Show(const char* path, WallpaperFit fit, std::string* why) {
  std::string uri = FileUri(path);
  if (uri.empty()) {
    *why = "the stored picture's path makes no file URI";
    return false;
  }
  std::string fill_mode;
  if (fit != WallpaperFit::kKeep)
    fill_mode = "  d.writeConfig(\"FillMode\", " + std::to_string(kFillModes[static_cast<int>(fit)]) + ");\n";
  std::string script =
      "var all = desktops();\n"
      "for (var i = 0; i < all.length; i++) {\n"
      "  var d = all[i];\n"
      "  d.wallpaperPlugin = \"org.kde.image\";\n"
      "  d.currentConfigGroup = [\"Wallpaper\", \"org.kde.image\", \"General\"];\n"
      "  d.writeConfig(\"Image\", " + ScriptString(uri) + ");\n" + fill_mode +
      "}\n";
  GDBusConnection* bus = SessionBus(why);
  if (bus == nullptr) return false;
  return CallBusForEffect(bus, "org.kde.plasmashell", "/PlasmaShell", "org.kde.PlasmaShell", "evaluateScript",
                          g_variant_new("(s)", script.c_str()), "the Plasma shell refused the script: ", why);
}

}  // namespace

const DesktopSetter kPlasmaDesktop = {"kde", CanRun, Show, true, nullptr, nullptr};

}  // namespace layer
