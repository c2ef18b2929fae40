// Settings through GSettings on dconf, and the session bus under it.
#include <sys/stat.h>

#include <cstdlib>
#include <memory>

#include "session_bus.h"

namespace layer {
namespace {

template <typename T, void (*Free)(T*)>
struct Releaser {
  void operator()(T* p) const { Free(p); }
};
using ErrorHolder = std::unique_ptr<GError, Releaser<GError, g_error_free>>;
using SchemaHolder = std::unique_ptr<GSettingsSchema, Releaser<GSettingsSchema, g_settings_schema_unref>>;
using KeyHolder = std::unique_ptr<GSettingsSchemaKey, Releaser<GSettingsSchemaKey, g_settings_schema_key_unref>>;
void UnrefObject(GSettings* settings) { g_object_unref(settings); }
using SettingsHolder = std::unique_ptr<GSettings, Releaser<GSettings, UnrefObject>>;
void FreeText(char* text) { g_free(text); }
using TextHolder = std::unique_ptr<char, Releaser<char, FreeText>>;

bool BusAddressKnown() {
  const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  if (address != nullptr && address[0] != '\0') return true;
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime == nullptr || runtime[0] == '\0') return false;
  struct stat info{};
  return stat((std::string(runtime) + "/bus").c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
}

// "picture-options" for each placement, in WallpaperFit's order; the same
// words in every schema that has the key.
constexpr const char* kPictureOptions[] = {nullptr, "zoom", "scaled", "stretched", "centered", "wallpaper", "spanned"};

// The enumerated key accepts `value`.
bool KeyAccepts(GSettingsSchema* schema, const char* key, const char* value) {
  if (!g_settings_schema_has_key(schema, key)) return false;
  KeyHolder holder(g_settings_schema_get_key(schema, key));
  GVariant* candidate = g_variant_ref_sink(g_variant_new_string(value));
  bool accepted = g_variant_is_of_type(candidate, g_settings_schema_key_get_value_type(holder.get())) &&
                  g_settings_schema_key_range_check(holder.get(), candidate);
  g_variant_unref(candidate);
  return accepted;
}

}  // namespace

GDBusConnection* SessionBus(std::string* why) {
  if (!BusAddressKnown()) {
    *why = "no session bus in this session";
    return nullptr;
  }
  // Held for the life of the process, as dconf holds the same connection.
  static GDBusConnection* bus = nullptr;
  if (bus != nullptr && g_dbus_connection_is_closed(bus)) g_clear_object(&bus);
  if (bus == nullptr) {
    GError* error = nullptr;
    bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    // GIO hands out its shared connection for as long as anyone holds it,
    // even closed by a bus that went away: a new bus gets one of our own.
    if (bus != nullptr && g_dbus_connection_is_closed(bus)) {
      g_clear_object(&bus);
      char* address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, &error);
      if (address != nullptr)
        bus = g_dbus_connection_new_for_address_sync(
            address,
            static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                              G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, &error);
      g_free(address);
    }
    if (bus == nullptr) {
      *why = std::string("cannot reach the session bus: ") + error->message;
      g_error_free(error);
      return nullptr;
    }
    // A bus that goes away must not take the program with it.
    g_dbus_connection_set_exit_on_close(bus, FALSE);
  }
  return bus;
}

GVariant* CallBus(GDBusConnection* bus, const char* service, const char* object, const char* interface,
                  const char* method, GVariant* arguments, const char* reply_type, std::string* why) {
  GError* error = nullptr;
  GVariant* reply = g_dbus_connection_call_sync(bus, service, object, interface, method, arguments,
                                                reply_type != nullptr ? G_VARIANT_TYPE(reply_type) : nullptr,
                                                G_DBUS_CALL_FLAGS_NONE, kBusCallTimeoutMs, nullptr, &error);
  if (reply == nullptr) {
    ErrorHolder holder(error);
    if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_TIMED_OUT)) {
      *why = std::string(service) + " did not answer within 2 seconds";
    } else {
      g_dbus_error_strip_remote_error(error);
      *why = error->message;
    }
  }
  return reply;
}

bool CallBusForEffect(GDBusConnection* bus, const char* service, const char* object, const char* interface,
                      const char* method, GVariant* arguments, std::string_view failure, std::string* why) {
  GVariant* reply = CallBus(bus, service, object, interface, method, arguments, nullptr, why);
  if (reply == nullptr) {
    *why = std::string(failure) + *why;
    return false;
  }
  g_variant_unref(reply);
  return true;
}

std::string FileUri(const char* path) {
  TextHolder uri(g_filename_to_uri(path, nullptr, nullptr));
  return uri != nullptr ? std::string(uri.get()) : std::string();
}

bool WriteDesktopSettings(const char* schema_id, const char* const* keys, const std::string& picture,
                          WallpaperFit fit, std::string* why) {
  if (picture.empty()) {
    *why = "the stored picture's path makes no file URI";
    return false;
  }
  if (!g_utf8_validate(picture.data(), static_cast<gssize>(picture.size()), nullptr)) {
    *why = "the stored picture's path is not UTF-8";
    return false;
  }
  GSettingsSchemaSource* source = g_settings_schema_source_get_default();
  SchemaHolder schema(source != nullptr ? g_settings_schema_source_lookup(source, schema_id, TRUE) : nullptr);
  if (schema == nullptr) {
    *why = std::string("the settings schema ") + schema_id + " is not installed";
    return false;
  }
  // GSettings would queue the writes and drop them silently without the
  // service; asking it first bounds the wait and names the fault.
  GDBusConnection* bus = SessionBus(why);
  if (bus == nullptr) return false;
  if (!CallBusForEffect(bus, "ca.desrt.dconf", "/ca/desrt/dconf/Writer/user", "org.freedesktop.DBus.Peer", "Ping",
                        nullptr, "the settings service cannot be reached: ", why))
    return false;

  SettingsHolder settings(g_settings_new_full(schema.get(), nullptr, nullptr));
  g_settings_delay(settings.get());
  for (const char* const* key = keys; *key != nullptr; ++key)
    if (g_settings_schema_has_key(schema.get(), *key)) g_settings_set_string(settings.get(), *key, picture.c_str());
  if (fit != WallpaperFit::kKeep) {
    const char* options = kPictureOptions[static_cast<int>(fit)];
    if (KeyAccepts(schema.get(), "picture-options", options))
      g_settings_set_string(settings.get(), "picture-options", options);
  } else if (KeyAccepts(schema.get(), "picture-options", "zoom")) {
    TextHolder options(g_settings_get_string(settings.get(), "picture-options"));
    if (options != nullptr && g_str_equal(options.get(), "none"))
      g_settings_set_string(settings.get(), "picture-options", "zoom");
  }
  g_settings_apply(settings.get());
  g_settings_sync();
  return true;
}

}  // namespace layer
