// XFCE: the desktop keeps one picture per monitor and workspace in its
// settings channel, under names that follow the monitors; every one of them
// gets the new picture, whatever the names are.
#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

#include <cstdlib>
#include <string>
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

// Names of the connected outputs, as the desktop names its monitors; a
// session without a display has the one monitor "0".
std::vector<std::string> ConnectedOutputs() {
  std::vector<std::string> names;
  const char* display_name = std::getenv("DISPLAY");
  Display* display = display_name != nullptr && display_name[0] != '\0' ? XOpenDisplay(nullptr) : nullptr;
  if (display != nullptr) {
    XRRScreenResources* resources = XRRGetScreenResourcesCurrent(display, DefaultRootWindow(display));
    for (int i = 0; resources != nullptr && i < resources->noutput; ++i) {
      XRROutputInfo* output = XRRGetOutputInfo(display, resources, resources->outputs[i]);
      if (output != nullptr && output->connection == RR_Connected) names.emplace_back(output->name, output->nameLen);
      if (output != nullptr) XRRFreeOutputInfo(output);
    }
    if (resources != nullptr) XRRFreeScreenResources(resources);
    XCloseDisplay(display);
  }
  if (names.empty()) names.push_back("0");
  return names;
}

// Every property of the channel that holds a picture.
bool PictureProperties(GDBusConnection* bus, std::vector<std::string>* properties, std::string* why) {
  GVariant* reply = CallBus(bus, kService, kObject, kService, "GetAllProperties", g_variant_new("(ss)", kChannel, "/"),
                            "(a{sv})", why);
  if (reply == nullptr) return false;
  GVariantIter* entries = nullptr;
  g_variant_get(reply, "(a{sv})", &entries);
  const char* name = nullptr;
  GVariant* value = nullptr;
  while (g_variant_iter_loop(entries, "{&sv}", &name, &value))
    if (std::string_view(name).ends_with(kPictureProperty)) properties->emplace_back(name);
  g_variant_iter_free(entries);
  g_variant_unref(reply);
  return true;
}

bool Show(const char* path, WallpaperFit fit, std::string* why) {
  if (!g_utf8_validate(path, -1, nullptr)) {
    *why = "the stored picture's path is not UTF-8";
    return false;
  }
  GDBusConnection* bus = SessionBus(why);
  if (bus == nullptr) return false;
  std::vector<std::string> properties;
  if (!PictureProperties(bus, &properties, why)) {
    // A channel nobody wrote yet answers with an error of its own; that
    // just means there is nothing to update.
    if (why->find("does not exist") == std::string::npos) {
      *why = "the XFCE settings service cannot be reached: " + *why;
      return false;
    }
  }
  if (properties.empty())
    for (const std::string& output : ConnectedOutputs())
      properties.push_back("/backdrop/screen0/monitor" + output + "/workspace0/last-image");
  for (const std::string& property : properties) {
    if (!CallBusForEffect(bus, kService, kObject, kService, "SetProperty",
                          g_variant_new("(ssv)", kChannel, property.c_str(), g_variant_new_string(path)),
                          "the XFCE settings service refused " + property + ": ", why))
      return false;
    if (fit == WallpaperFit::kKeep) continue;
    // Each monitor and workspace has its own style beside its picture.
    std::string style = property.substr(0, property.size() - kPictureProperty.size()) + std::string(kStyleProperty);
    if (!CallBusForEffect(bus, kService, kObject, kService, "SetProperty",
                          g_variant_new("(ssv)", kChannel, style.c_str(),
                                        g_variant_new_int32(kImageStyles[static_cast<int>(fit)])),
                          "the XFCE settings service refused " + style + ": ", why))
      return false;
  }
  return true;
}

}  // namespace

const DesktopSetter kXfceDesktop = {"xfce", CanRun, Show, true, nullptr, nullptr};

}  // namespace layer
