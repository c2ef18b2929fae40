// The registry: HKEY_CURRENT_USER alone, in memory for the life of the
// process. Nothing of it reaches a file; the one consumer so far is the
// wallpaper call, which reads the desktop's placement values as Windows does.
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "layer_model.h"

namespace layer {
namespace {

// Larger than any value Windows keeps in its standard format; a caller
// cannot make the process hold more than this per value.
constexpr DWORD kLongestValue = 1 << 20;

struct Value {
  DWORD type;
  std::string bytes;
};

// Key paths and value names are compared without case; kept lowered.
using Values = std::map<std::string, Value>;
std::map<std::string, Values> keys;

struct OpenKey {
  std::string path;
  REGSAM access;
};
std::map<uint32_t, OpenKey> open_keys;
uint32_t next_handle = 1;

std::string Lowered(std::string_view text) {
  std::string lowered(text);
  for (char& c : lowered) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lowered;
}

// The key an open handle names, or null.
OpenKey* Opened(HKEY key) {
  auto open = open_keys.find(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(key)));
  return open != open_keys.end() ? &open->second : nullptr;
}

// The full path of `sub_key` under `key`, or false for a handle that names
// no key of ours or a path with an empty part.
bool KeyPath(HKEY key, LPCSTR sub_key, std::string* path, LSTATUS* error) {
  if (key == HKEY_CURRENT_USER) {
    path->clear();
  } else {
    OpenKey* open = Opened(key);
    if (open == nullptr) {
      *error = ERROR_INVALID_HANDLE;
      return false;
    }
    *path = open->path;
  }
  std::string_view rest = sub_key != nullptr ? sub_key : "";
  while (!rest.empty()) {
    size_t slash = rest.find('\\');
    std::string_view part = rest.substr(0, slash);
    if (part.empty()) {
      *error = ERROR_INVALID_PARAMETER;
      return false;
    }
    if (!path->empty()) *path += '\\';
    *path += Lowered(part);
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
  }
  return true;
}

HKEY Open(const std::string& path, REGSAM access) {
  uint32_t id = next_handle++;
  open_keys[id] = {path, access};
  return reinterpret_cast<HKEY>(static_cast<uintptr_t>(id));
}

}  // namespace

std::optional<std::string> UserStringValue(std::string_view key, std::string_view name) {
  auto found = keys.find(Lowered(key));
  if (found == keys.end()) return std::nullopt;
  auto value = found->second.find(Lowered(name));
  if (value == found->second.end() || value->second.type != REG_SZ) return std::nullopt;
  const std::string& bytes = value->second.bytes;
  return bytes.substr(0, bytes.find('\0'));
}

void ResetRegistry() {
  keys.clear();
  open_keys.clear();
  next_handle = 1;
}

}  // namespace layer

using namespace layer;

LSTATUS WINAPI RegCreateKeyExA(HKEY key, LPCSTR sub_key, DWORD, LPSTR, DWORD, REGSAM access, LPSECURITY_ATTRIBUTES,
                               PHKEY result, LPDWORD disposition) {
  std::string path;
  LSTATUS error = ERROR_SUCCESS;
  if (sub_key == nullptr || result == nullptr) return ERROR_INVALID_PARAMETER;
  if (!KeyPath(key, sub_key, &path, &error)) return error;
  bool made = false;
  // Every key on the way is made too, as Windows makes them.
  for (size_t at = 0; at != std::string::npos;) {
    at = path.find('\\', at + 1);
    made = keys.try_emplace(path.substr(0, at)).second || made;
  }
  *result = Open(path, access);
  if (disposition != nullptr) *disposition = made ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegOpenKeyExA(HKEY key, LPCSTR sub_key, DWORD, REGSAM access, PHKEY result) {
  std::string path;
  LSTATUS error = ERROR_SUCCESS;
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  if (!KeyPath(key, sub_key, &path, &error)) return error;
  if (!path.empty() && !keys.contains(path)) return ERROR_FILE_NOT_FOUND;
  *result = Open(path, access);
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegSetValueExA(HKEY key, LPCSTR value_name, DWORD, DWORD type, const BYTE* data, DWORD size) {
  OpenKey* open = Opened(key);
  if (open == nullptr) return ERROR_INVALID_HANDLE;
  if ((open->access & KEY_SET_VALUE) == 0) return ERROR_ACCESS_DENIED;
  if ((data == nullptr && size != 0) || size > kLongestValue) return ERROR_INVALID_PARAMETER;
  std::string bytes = data != nullptr ? std::string(reinterpret_cast<const char*>(data), size) : std::string();
  keys[open->path][Lowered(value_name != nullptr ? value_name : "")] = {type, std::move(bytes)};
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegQueryValueExA(HKEY key, LPCSTR value_name, LPDWORD, LPDWORD type, LPBYTE data, LPDWORD size) {
  std::string path;
  LSTATUS error = ERROR_SUCCESS;
  if (!KeyPath(key, nullptr, &path, &error)) return error;
  if (OpenKey* open = Opened(key); open != nullptr && (open->access & KEY_QUERY_VALUE) == 0) return ERROR_ACCESS_DENIED;
  if (data != nullptr && size == nullptr) return ERROR_INVALID_PARAMETER;
  auto found = keys.find(path);
  if (found == keys.end()) return ERROR_FILE_NOT_FOUND;
  auto value = found->second.find(Lowered(value_name != nullptr ? value_name : ""));
  if (value == found->second.end()) return ERROR_FILE_NOT_FOUND;
  const std::string& bytes = value->second.bytes;
  if (type != nullptr) *type = value->second.type;
  if (size == nullptr) return ERROR_SUCCESS;
  const DWORD room = *size;
  *size = static_cast<DWORD>(bytes.size());
  if (data == nullptr) return ERROR_SUCCESS;
  if (room < bytes.size()) return ERROR_MORE_DATA;
  std::copy(bytes.begin(), bytes.end(), data);
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegDeleteValueA(HKEY key, LPCSTR value_name) {
  OpenKey* open = Opened(key);
  if (open == nullptr) return ERROR_INVALID_HANDLE;
  if ((open->access & KEY_SET_VALUE) == 0) return ERROR_ACCESS_DENIED;
  return keys[open->path].erase(Lowered(value_name != nullptr ? value_name : "")) == 1 ? ERROR_SUCCESS
                                                                                            : ERROR_FILE_NOT_FOUND;
}

LSTATUS WINAPI RegCloseKey(HKEY key) {
  if (key == HKEY_CURRENT_USER) return ERROR_SUCCESS;
  return open_keys.erase(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(key))) == 1 ? ERROR_SUCCESS
                                                                                        : ERROR_INVALID_HANDLE;
}
