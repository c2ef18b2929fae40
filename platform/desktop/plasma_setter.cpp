// KDE Plasma 5 and 6: a desktop script run by the shell sets the picture
// on every desktop it has, across all screens and activities.
#include <algorithm>
#include <numeric>
#include <string>
#include <vector>

#include "module_setters.h"
#include "session_bus.h"

namespace layer {
namespace {

bool CanRun() { return true; }

// FillMode for each placement, in WallpaperFit's order. The image plugin
// cannot span one picture over the screens: a spanned one fills each.
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

bool RunScript(const std::string& script, std::string* why) {
  GDBusConnection* bus = SessionBus(why);
  if (bus == nullptr) return false;
  return CallBusForEffect(bus, "org.kde.plasmashell", "/PlasmaShell", "org.kde.PlasmaShell", "evaluateScript",
                          g_variant_new("(s)", script.c_str()), "the Plasma shell refused the script: ", why);
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
  return RunScript(script, why);
}

// The shell numbers its screens itself (the primary first), not as the
// monitors were listed, so pictures meet screens by place: both are ranked
// left to right, then top to bottom (the screens by the shell's own
// geometry, which under scaling is in other units than the X server's but
// in the same order), and the screen of rank r gets the picture of rank r,
// again from the first when there are more screens than pictures. A shell
// without screenGeometry ranks its screens by number. Desktops of screens
// not connected (screen -1) are left alone. A span fills each screen with
// its own picture: the image plugin cannot span.
bool ShowEach(const std::vector<MonitorPicture>& pictures, WallpaperFit fit, std::string* why) {
  if (pictures.empty()) {
    *why = "no monitor was given a picture";
    return false;
  }
  std::vector<size_t> order(pictures.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    const MonitorPlace &left = pictures[a].monitor, &right = pictures[b].monitor;
    return left.x != right.x ? left.x < right.x : left.y < right.y;
  });
  std::string images;
  for (size_t index : order) {
    std::string uri = FileUri(pictures[index].path.c_str());
    if (uri.empty()) {
      *why = "a stored picture's path makes no file URI";
      return false;
    }
    images += (images.empty() ? "" : ", ") + ScriptString(uri);
  }
  std::string fill_mode;
  if (fit != WallpaperFit::kKeep)
    fill_mode = "  d.writeConfig(\"FillMode\", " +
                std::to_string(kFillModes[static_cast<int>(fit == WallpaperFit::kSpan ? WallpaperFit::kFill : fit)]) +
                ");\n";
  std::string script =
      "var images = [" + images + "];\n"
      "var all = desktops(), screens = [];\n"
      "for (var i = 0; i < all.length; i++)\n"
      "  if (all[i].screen >= 0 && screens.indexOf(all[i].screen) < 0) screens.push(all[i].screen);\n"
      "screens.sort(function (a, b) {\n"
      "  if (typeof screenGeometry != \"function\") return a - b;\n"
      "  var p = screenGeometry(a), q = screenGeometry(b);\n"
      "  return p.x != q.x ? p.x - q.x : p.y != q.y ? p.y - q.y : a - b;\n"
      "});\n"
      "for (var i = 0; i < all.length; i++) {\n"
      "  var d = all[i];\n"
      "  if (d.screen < 0) continue;\n"
      "  d.wallpaperPlugin = \"org.kde.image\";\n"
      "  d.currentConfigGroup = [\"Wallpaper\", \"org.kde.image\", \"General\"];\n"
      "  d.writeConfig(\"Image\", images[screens.indexOf(d.screen) % images.length]);\n" + fill_mode +
      "}\n";
  return RunScript(script, why);
}

}  // namespace

const DesktopSetter kPlasmaDesktop = {"kde", CanRun, Show, true, nullptr, ShowEach};

}  // namespace layer
