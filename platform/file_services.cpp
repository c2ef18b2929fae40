// Files and the shell's known folders: what the program needs to keep its
// settings safely between runs.
#include <windows.h>
#include <shlobj.h>

#include "layer_control.h"

#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

namespace {

BOOL Fail(int error) {
  switch (error) {
    case ENOENT: SetLastError(ERROR_FILE_NOT_FOUND); break;
    case ENOTDIR: SetLastError(ERROR_PATH_NOT_FOUND); break;
    case EEXIST: SetLastError(ERROR_ALREADY_EXISTS); break;
    default: SetLastError(ERROR_ACCESS_DENIED); break;
  }
  return FALSE;
}

std::string FolderOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool SyncPath(const std::string& path, int flags) {
  int fd = open(path.c_str(), flags | O_CLOEXEC);
  if (fd < 0) return false;
  bool synced = fsync(fd) == 0;
  close(fd);
  return synced;
}

// Every missing folder on the way, private to the user as the base
// directory rules ask.
bool MakeFolders(const std::string& path) {
  for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    std::string part = path.substr(0, slash);
    if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
    if (slash == std::string::npos) break;
  }
  struct stat info{};
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::string SettingsFolder() {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  if (config != nullptr && config[0] == '/') return config;
  const char* home = std::getenv("HOME");
  if (home == nullptr || home[0] != '/') {
    struct passwd* entry = getpwuid(geteuid());
    home = entry != nullptr ? entry->pw_dir : nullptr;
  }
  if (home == nullptr || home[0] != '/') return {};
  return std::string(home) + (home[std::strlen(home) - 1] == '/' ? "" : "/") + ".config";
}

}  // namespace

extern "C" {

BOOL WINAPI CreateDirectoryA(LPCSTR path, LPSECURITY_ATTRIBUTES) {
  if (path == nullptr) return Fail(ENOENT);
  return mkdir(path, 0700) == 0 ? TRUE : Fail(errno);
}

BOOL WINAPI DeleteFileA(LPCSTR path) {
  if (path == nullptr) return Fail(ENOENT);
  return unlink(path) == 0 ? TRUE : Fail(errno);
}

BOOL WINAPI MoveFileExA(LPCSTR existing, LPCSTR new_name, DWORD flags) {
  if (existing == nullptr || new_name == nullptr) return Fail(ENOENT);
  if ((flags & MOVEFILE_WRITE_THROUGH) != 0 && !SyncPath(existing, O_RDONLY)) return Fail(errno);
  int moved = (flags & MOVEFILE_REPLACE_EXISTING) != 0 ? rename(existing, new_name)
                                                       : renameat2(AT_FDCWD, existing, AT_FDCWD, new_name, RENAME_NOREPLACE);
  if (moved != 0) return Fail(errno);
  // The new name is only kept once its folder is.
  if ((flags & MOVEFILE_WRITE_THROUGH) != 0 && !SyncPath(FolderOf(new_name), O_RDONLY | O_DIRECTORY)) return Fail(errno);
  return TRUE;
}

HRESULT WINAPI SHGetFolderPathA(HWND, int folder, HANDLE, DWORD, LPSTR path) {
  if (path == nullptr) return E_FAIL;
  int kind = folder & ~CSIDL_FLAG_CREATE;
  if (kind != CSIDL_APPDATA && kind != CSIDL_STARTUP) return E_FAIL;
  std::string found = SettingsFolder();
  if (found.empty()) return E_FAIL;
  if (kind == CSIDL_STARTUP) found += "/autostart";
  if (found.size() >= MAX_PATH) return E_FAIL;
  if ((folder & CSIDL_FLAG_CREATE) != 0 && !MakeFolders(found)) return E_FAIL;
  std::memcpy(path, found.c_str(), found.size() + 1);
  return S_OK;
}

DWORD WINAPI GetModuleFileNameA(HMODULE module, LPSTR path, DWORD size) {
  if (path == nullptr || size == 0 || (module != nullptr && module != LayerProgramInstance())) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  char found[4096];
  ssize_t length = readlink("/proc/self/exe", found, sizeof found - 1);
  if (length <= 0) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return 0;
  }
  if (static_cast<DWORD>(length) >= size) {
    // Cut and ended, as Windows does, so the caller can tell by the length.
    std::memcpy(path, found, size - 1);
    path[size - 1] = '\0';
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
  }
  std::memcpy(path, found, static_cast<size_t>(length));
  path[length] = '\0';
  return static_cast<DWORD>(length);
}

}  // extern "C"
