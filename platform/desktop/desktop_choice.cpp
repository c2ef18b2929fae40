// Which desktop the wallpaper goes to, decided once at start-up from the
// session's environment, and the module that holds the heavier setters.
#include <dlfcn.h>
#include <strings.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "desktop_setter.h"
#include "layer_control.h"
#include "layer_model.h"
#include "module_folder.h"

namespace layer {
namespace {

const DesktopSetter* chosen = nullptr;

// Session names as desktops announce themselves, lowercased, and the setter
// that serves each; several desktops share GNOME's settings.
struct SessionName {
  std::string_view session;
  const char* setter;
};
constexpr SessionName kSessionNames[] = {
    {"gnome", "gnome"},       {"gnome-classic", "gnome"}, {"gnome-flashback", "gnome"}, {"ubuntu", "gnome"},
    {"unity", "gnome"},       {"budgie", "gnome"},        {"budgie-desktop", "gnome"},  {"pantheon", "gnome"},
    {"kde", "kde"},           {"plasma", "kde"},          {"plasmawayland", "kde"},     {"plasmax11", "kde"},
    {"xfce", "xfce"},         {"xubuntu", "xfce"},        {"mate", "mate"},             {"cinnamon", "cinnamon"},
    {"x-cinnamon", "cinnamon"}, {"lxqt", "lxqt"},         {"lxde", "lxqt"},             {"lubuntu", "lxqt"},
    {"sway", "sway"},
};
constexpr const char* kModuleName = "libskerrow_desktop.so";
constexpr std::string_view kSetterNames[] = {"gnome", "kde", "xfce", "mate", "cinnamon", "lxqt", "sway", "x11", "none"};

bool Set(const char* name) { return name != nullptr && name[0] != '\0'; }

// The setter for the first name of a colon-separated list that names a
// known desktop, compared without case.
const char* SetterForSessionList(const char* list) {
  if (!Set(list)) return nullptr;
  std::string_view rest = list;
  while (!rest.empty()) {
    size_t colon = rest.find(':');
    std::string_view entry = rest.substr(0, colon);
    for (const SessionName& known : kSessionNames)
      if (entry.size() == known.session.size() &&
          strncasecmp(entry.data(), known.session.data(), entry.size()) == 0)
        return known.setter;
    if (colon == std::string_view::npos) break;
    rest.remove_prefix(colon + 1);
  }
  return nullptr;
}

const char* GuessSetter() {
  if (const char* name = SetterForSessionList(std::getenv("XDG_CURRENT_DESKTOP"))) return name;
  if (const char* name = SetterForSessionList(std::getenv("DESKTOP_SESSION"))) return name;
  if (Set(std::getenv("SWAYSOCK"))) return "sway";
  if (Set(std::getenv("DISPLAY"))) return "x11";
  return "none";
}

const char* RequestedSetter() {
  const char* wanted = std::getenv("SKERROW_DESKTOP");
  if (!Set(wanted)) return nullptr;
  for (std::string_view name : kSetterNames)
    if (strcasecmp(wanted, name.data()) == 0) return name.data();
  std::fprintf(stderr, "desktop: SKERROW_DESKTOP=%s names no desktop; guessing from the session\n", wanted);
  return nullptr;
}

// The setter module is one of the program's own modules.
void* LoadModule(std::string* why) {
  static void* module = nullptr;
  if (module != nullptr) return module;
  std::string looked_in;
  std::string path = ModulePath(kModuleName, &looked_in);
  if (path.empty()) {
    *why = std::string(kModuleName) + " not found in " + looked_in;
    return nullptr;
  }
  module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);  // never closed: GLib cannot be unloaded
  if (module == nullptr) *why = dlerror();
  return module;
}

// One of the module's entry points, or null with the reason.
template <typename Entry>
Entry ModuleEntry(const char* name, std::string* why) {
  void* module = LoadModule(why);
  if (module == nullptr) return nullptr;
  auto entry = reinterpret_cast<Entry>(dlsym(module, name));
  if (entry == nullptr) *why = std::string(kModuleName) + " holds no " + name;
  return entry;
}
using SetterLookup = const DesktopSetter* (*)(const char*);
using MonitorLister = bool (*)(std::vector<MonitorPlace>*, std::string*);

const DesktopSetter* SetterNamed(std::string_view name, std::string* why) {
  for (const DesktopSetter* builtin : {&kNoDesktop, &kLxqtDesktop, &kSwayDesktop})
    if (name == builtin->name) return builtin;
  SetterLookup lookup = ModuleEntry<SetterLookup>("SkerrowDesktopSetter", why);
  return lookup != nullptr ? lookup(name.data()) : nullptr;
}

bool NoDesktopRuns() { return true; }
bool NoDesktopShows(const char*, WallpaperFit, std::string*) { return true; }

// The registry's placement pairs (WallpaperStyle, TileWallpaper) as Windows
// reads them; a tiled picture is tiled whatever the style says.
struct StyleFit {
  std::string_view style;
  WallpaperFit fit;
};
constexpr StyleFit kFitStyles[] = {{"10", WallpaperFit::kFill},  {"6", WallpaperFit::kFit},
                                    {"2", WallpaperFit::kStretch}, {"0", WallpaperFit::kCenter},
                                    {"22", WallpaperFit::kSpan}};
constexpr std::string_view kDesktopKey = "Control Panel\\Desktop";

}  // namespace

WallpaperFit ChosenFit() {
  std::optional<std::string> style = UserStringValue(kDesktopKey, "WallpaperStyle");
  std::optional<std::string> tile = UserStringValue(kDesktopKey, "TileWallpaper");
  if (!style && !tile) return WallpaperFit::kKeep;
  if (tile == "1") return WallpaperFit::kTile;
  for (const StyleFit& known : kFitStyles)
    if (style.value_or("0") == known.style) return known.fit;
  return WallpaperFit::kKeep;  // a style this layer does not know: as if none were set
}

// Without a desktop the stored copy is all there is to show.
const DesktopSetter kNoDesktop = {"none", NoDesktopRuns, NoDesktopShows, true, nullptr, nullptr};

const DesktopSetter& ChosenDesktop() { return chosen != nullptr ? *chosen : kNoDesktop; }

bool ListMonitors(std::vector<MonitorPlace>* monitors, std::string* why) {
  const DesktopSetter& desktop = ChosenDesktop();
  if (desktop.list_monitors != nullptr) return desktop.list_monitors(monitors, why);
  if (!Set(std::getenv("DISPLAY"))) {
    *why = "the session has no X display to list monitors";
    return false;
  }
  MonitorLister lister = ModuleEntry<MonitorLister>("SkerrowListMonitors", why);
  return lister != nullptr && lister(monitors, why);
}

}  // namespace layer

using namespace layer;

const char* LayerChooseDesktop() {
  const char* requested = RequestedSetter();
  const char* name = requested != nullptr ? requested : GuessSetter();
  std::string why;
  const DesktopSetter* setter = SetterNamed(name, &why);
  if (setter == nullptr) {
    std::fprintf(stderr, "desktop: %s setter unavailable: %s\n", name, why.c_str());
  } else if (!setter->can_run()) {
    std::fprintf(stderr, "desktop: %s cannot run in this session\n", name);
    setter = nullptr;
  }
  chosen = setter != nullptr ? setter : &kNoDesktop;
  std::fprintf(stderr, "desktop: %s\n", chosen->name);
  std::fflush(stderr);
  return chosen->name;
}
