// GetTempPathA: a private work folder for this process alone. Downloads and
// intermediate pictures go there, so nothing the program writes can land on
// a user's file or follow a link someone planted in a shared folder.
#include <windows.h>

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "layer_control.h"

namespace {

// The longest folder path, separator included, that the program's classic
// fixed path buffers hold.
constexpr std::size_t kLongestFolder = 127;
constexpr char kFolderPattern[] = "/skerrow-XXXXXX";

std::string current;             // the folder in use, with its separator
std::vector<std::string> made;   // every folder made, removed at the end

bool Absolute(const char* path) { return path != nullptr && path[0] == '/'; }

bool UsableParent(const std::string& path) {
  struct stat info{};
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && access(path.c_str(), W_OK | X_OK) == 0;
}

// Still there, still a folder of ours that nobody else may enter.
bool StillOurs(const std::string& folder) {
  struct stat info{};
  return lstat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == geteuid() &&
         (info.st_mode & 077) == 0;
}

void RemoveMadeFolders() {
  for (const std::string& folder : made) {
    // Only a folder still ours is emptied; remove_all does not follow links.
    if (!StillOurs(folder)) continue;
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
  }
}

// "TEMP" when it names a usable folder, else the session's runtime folder,
// else the system's temporary folder; relative and over-long places are
// passed over.
std::string MakeFolder() {
  const char* candidates[] = {std::getenv("TEMP"), std::getenv("XDG_RUNTIME_DIR"), "/tmp"};
  for (const char* candidate : candidates) {
    if (!Absolute(candidate)) continue;
    std::string parent = candidate;
    while (parent.size() > 1 && parent.back() == '/') parent.pop_back();
    if (parent == "/") parent.clear();
    if (parent.size() + sizeof kFolderPattern > kLongestFolder || !UsableParent(parent.empty() ? "/" : parent))
      continue;
    std::string pattern = parent + kFolderPattern;
    if (mkdtemp(pattern.data()) == nullptr) continue;  // made with mode 0700
    if (made.empty()) std::atexit(RemoveMadeFolders);
    made.push_back(pattern);
    return pattern + "/";
  }
  return std::string();
}

}  // namespace

DWORD WINAPI GetTempPathA(DWORD length, LPSTR buffer) {
  if (current.empty() || !StillOurs(current)) current = MakeFolder();
  if (current.empty()) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return 0;
  }
  if (buffer == nullptr || length <= current.size()) return static_cast<DWORD>(current.size() + 1);
  std::memcpy(buffer, current.c_str(), current.size() + 1);
  return static_cast<DWORD>(current.size());
}

bool InWorkFolder(const char* path) {
  if (path == nullptr || current.empty() || !StillOurs(current)) return false;
  std::string_view whole = path;
  std::size_t slash = whole.rfind('/');
  if (slash == std::string_view::npos || slash + 1 == whole.size()) return false;
  // The folder itself, however the path names it.
  struct stat folder{}, ours{};
  return stat(std::string(whole.substr(0, slash + 1)).c_str(), &folder) == 0 && lstat(current.c_str(), &ours) == 0 &&
         folder.st_dev == ours.st_dev && folder.st_ino == ours.st_ino;
}
