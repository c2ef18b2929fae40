// What the setters on the session bus share: reaching the bus without ever
// starting one, calls bounded in time, and the picture as a file URI.
#pragma once

#include <gio/gio.h>

#include <string>
#include <string_view>

#include "desktop_setter.h"

namespace layer {

constexpr int kBusCallTimeoutMs = 2000;

// The session bus, or null with the reason. A session without a bus gets
// none: GIO would otherwise launch a bus of its own and leave it running.
GDBusConnection* SessionBus(std::string* why);

// One method call with the bus timeout; null with the remote error's text.
GVariant* CallBus(GDBusConnection* bus, const char* service, const char* object, const char* interface,
                  const char* method, GVariant* arguments, const char* reply_type, std::string* why);

// A call made for what it does, its reply dropped; false with `failure`
// put before the reason.
bool CallBusForEffect(GDBusConnection* bus, const char* service, const char* object, const char* interface,
                      const char* method, GVariant* arguments, std::string_view failure, std::string* why);

// file:// URI of a path, percent-encoded; empty when GLib cannot make one.
std::string FileUri(const char* path);

// Writes `picture` (a URI or a path; empty when none could be made) to
// each of `keys` (ended by a null) in the schema's settings, and `fit` to
// "picture-options", and waits until the settings service has them. Without
// a fit the user's placement stays, but "none" turns into "zoom": a picture
// that is set should be seen.
bool WriteDesktopSettings(const char* schema_id, const char* const* keys, const std::string& picture,
                          WallpaperFit fit, std::string* why);

}  // namespace layer
