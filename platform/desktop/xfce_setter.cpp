// XFCE: the desktop keeps one picture per monitor and workspace in its
// settings channel, under names that follow the monitors; every one of them
// gets the new picture, whatever the names are.
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "module_setters.h"
#include "session_bus.h"

namespace layer {
namespace {

constexpr const char* kService = "org.xfce.Xfconf";
constexpr const char* kObject = "/org/xfce/Xfconf";
constexpr const char* kChannel = "xfce4-desktop";
constexpr std::string_view kPictureProperty = "/last-image";
constexpr std::string_view kStyleProperty = "/image-style";
// image-style for each placement, in WallpaperFit's order.
constexpr int kImageStyles[] = {-1, 5, 4, 3, 1, 2, 6};

bool CanRun() { return true; }

// The monitors' names as the desktop looks their pictures up: the RandR
// monitors, the list a picture per monitor is given by too, so that one
// wide output split in two is two monitors on both paths. A session without
// a display has the one monitor "0"; a name that is not UTF-8 cannot be
// written into the channel.
std::vector<std::string> MonitorNames() {
  std::vector<MonitorPlace> monitors;
  std::string why;
  std::vector<std::string> names;
  if (ListRandrMonitors(&monitors, &why))
    for (const MonitorPlace& monitor : monitors)
      if (g_utf8_validate(monitor.name.c_str(), -1, nullptr)) names.push_back(monitor.name);
  if (names.empty()) names.push_back("0");
  return names;
}

// The channel's properties that hold a picture, and the placement beside
// each one that has it.
struct Channel {
  std::vector<std::string> pictures;
  std::map<std::string, int> styles;
};

bool ReadChannel(GDBusConnection* bus, Channel* channel, std::string* why) {
  GVariant* reply = CallBus(bus, kService, kObject, kService, "GetAllProperties", g_variant_new("(ss)", kChannel, "/"),
                            "(a{sv})", why);
  if (reply == nullptr) return false;
  GVariantIter* entries = nullptr;
  g_variant_get(reply, "(a{sv})", &entries);
  const char* name = nullptr;
  GVariant* value = nullptr;
  while (g_variant_iter_loop(entries, "{&sv}", &name, &value)) {
    std::string_view property(name);
    if (property.ends_with(kPictureProperty)) channel->pictures.emplace_back(property);
    if (property.ends_with(kStyleProperty) && g_variant_is_of_type(value, G_VARIANT_TYPE_INT32))
      channel->styles[std::string(property)] = g_variant_get_int32(value);
  }
  g_variant_iter_free(entries);
  g_variant_unref(reply);
  return true;
}

// The channel as it is; one nobody wrote yet answers with an error of its
// own, which just means it is empty.
bool ReadChannelOrEmpty(GDBusConnection* bus, Channel* channel, std::string* why) {
  if (ReadChannel(bus, channel, why)) return true;
  if (why->find("does not exist") != std::string::npos) {
    why->clear();
    return true;
  }
  *why = "the XFCE settings service cannot be reached: " + *why;
  return false;
}

bool SetProperty(GDBusConnection* bus, const std::string& property, GVariant* value, std::string* why) {
  return CallBusForEffect(bus, kService, kObject, kService, "SetProperty",
                          g_variant_new("(ssv)", kChannel, property.c_str(), value),
                          "the XFCE settings service refused " + property + ": ", why);
}

// A picture property's place: "/backdrop/screen0/monitorHDMI-1/workspace2"
// splits into the monitor's name and the workspace's number.
struct PicturePlace {
  std::string monitor;
  std::string workspace;
};

bool SplitPictureProperty(std::string_view property, PicturePlace* place) {
  constexpr std::string_view kScreen = "/backdrop/screen", kMonitor = "/monitor", kWorkspace = "/workspace";
  if (!property.starts_with(kScreen) || !property.ends_with(kPictureProperty)) return false;
  property.remove_suffix(kPictureProperty.size());
  size_t workspace = property.rfind(kWorkspace);
  size_t monitor = property.find(kMonitor, kScreen.size());
  if (workspace == std::string_view::npos || monitor == std::string_view::npos || monitor >= workspace) return false;
  place->monitor = property.substr(monitor + kMonitor.size(), workspace - monitor - kMonitor.size());
  place->workspace = property.substr(workspace + kWorkspace.size());
  return !place->workspace.empty() &&
         place->workspace.find_first_not_of("0123456789") == std::string::npos;
}

// The channel's picture properties by the monitor each names, those whose
// names do not split apart, and the workspaces it knows (workspace 0 when
// it knows none yet).
struct PictureLayout {
  std::map<std::string, std::vector<std::string>> monitors;
  std::vector<std::string> others;
  std::set<std::string> workspaces;
};

PictureLayout LayoutOf(const Channel& channel) {
  PictureLayout layout;
  for (const std::string& property : channel.pictures) {
    PicturePlace place;
    if (!SplitPictureProperty(property, &place)) {
      layout.others.push_back(property);
      continue;
    }
    layout.monitors[place.monitor].push_back(property);
    layout.workspaces.insert(place.workspace);
  }
  if (layout.workspaces.empty()) layout.workspaces.insert("0");
  return layout;
}

// The picture properties of `monitor`: those the channel has, or for a
// monitor it does not know yet, one on each workspace the others have.
std::vector<std::string>& MonitorProperties(PictureLayout* layout, const std::string& monitor) {
  std::vector<std::string>& properties = layout->monitors[monitor];
  if (properties.empty())
    for (const std::string& workspace : layout->workspaces)
      properties.push_back("/backdrop/screen0/monitor" + monitor + "/workspace" + workspace +
                           std::string(kPictureProperty));
  return properties;
}

bool Show(const char* path, WallpaperFit fit, std::string* why) {
  if (!g_utf8_validate(path, -1, nullptr)) {
    *why = "the stored picture's path is not UTF-8";
    return false;
  }
  GDBusConnection* bus = SessionBus(why);
  if (bus == nullptr) return false;
  Channel channel;
  if (!ReadChannelOrEmpty(bus, &channel, why)) return false;
  // Every picture the channel holds, whatever its name, and every monitor
  // listed now.
  PictureLayout layout = LayoutOf(channel);
  for (const std::string& monitor : MonitorNames()) MonitorProperties(&layout, monitor);
  std::vector<std::string> properties = layout.others;
  for (const auto& [monitor, known] : layout.monitors) properties.insert(properties.end(), known.begin(), known.end());
  for (const std::string& property : properties) {
    if (!SetProperty(bus, property, g_variant_new_string(path), why)) return false;
    if (fit == WallpaperFit::kKeep) continue;
    // Each monitor and workspace has its own style beside its picture.
    std::string style = property.substr(0, property.size() - kPictureProperty.size()) + std::string(kStyleProperty);
    if (!SetProperty(bus, style, g_variant_new_int32(kImageStyles[static_cast<int>(fit)]), why)) return false;
  }
  return true;
}

// Each monitor's picture on every workspace the channel knows for it; a
// monitor it does not know yet gets the workspaces the others have. The
// placement: the fit's style; a span fills each monitor, since the
// desktop's spanning shows the first monitor's picture over all of them
// and hides the others. Without a fit the user's style stays, but spanning,
// for the same reason, becomes zoomed.
bool ShowEach(const std::vector<MonitorPicture>& pictures, WallpaperFit fit, std::string* why) {
  if (pictures.empty()) {
    *why = "no monitor was given a picture";
    return false;
  }
  for (const MonitorPicture& picture : pictures)
    if (!g_utf8_validate(picture.path.c_str(), -1, nullptr) || !g_utf8_validate(picture.monitor.name.c_str(), -1, nullptr)) {
      *why = "a stored picture's path or its monitor's name is not UTF-8";
      return false;
    }
  GDBusConnection* bus = SessionBus(why);
  if (bus == nullptr) return false;
  Channel channel;
  if (!ReadChannelOrEmpty(bus, &channel, why)) return false;
  PictureLayout layout = LayoutOf(channel);
  const int fitted = kImageStyles[static_cast<int>(fit == WallpaperFit::kSpan ? WallpaperFit::kFill : fit)];
  for (const MonitorPicture& picture : pictures) {
    const std::vector<std::string>& properties = MonitorProperties(&layout, picture.monitor.name);
    for (const std::string& property : properties) {
      std::string style = property.substr(0, property.size() - kPictureProperty.size()) + std::string(kStyleProperty);
      auto kept = channel.styles.find(style);
      int wanted = fitted;
      if (fit == WallpaperFit::kKeep)
        wanted = kept != channel.styles.end() && kept->second == kImageStyles[static_cast<int>(WallpaperFit::kSpan)]
                     ? kImageStyles[static_cast<int>(WallpaperFit::kFill)]
                     : -1;
      if (wanted >= 0 && (kept == channel.styles.end() || kept->second != wanted) &&
          !SetProperty(bus, style, g_variant_new_int32(wanted), why))
        return false;
      if (!SetProperty(bus, property, g_variant_new_string(picture.path.c_str()), why)) return false;
    }
  }
  return true;
}

}  // namespace

const DesktopSetter kXfceDesktop = {"xfce", CanRun, Show, true, nullptr, ShowEach};

}  // namespace layer
