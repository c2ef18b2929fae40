// GetTempPathA: a private work folder for this process alone. Downloads and
// intermediate pictures go there, so nothing the program writes can land on
// a user's file or follow a link someone planted in a shared folder. The
// program holds a lock on its folder while it runs, so the folders of a
// program that was killed can be told from those of one still running, and
// the next start removes them.
#include <windows.h>

#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
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
// A work folder's mode once its lock is held: the sticky bit marks it as a
// program's (it changes nothing in a folder nobody else may enter). One
// without it is someone else's or still being made, and is never swept.
constexpr mode_t kHeldMode = S_ISVTX | S_IRWXU;

std::string current;             // the folder in use, with its separator
int current_lock = -1;           // the lock held on it while the program runs
std::vector<std::string> made;   // every folder made, removed at the end
bool swept = false;              // the folders of ended programs are gone

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

// A work folder's name as mkdtemp makes it from kFolderPattern.
bool WorkFolderName(std::string_view name) {
  std::string_view prefix = kFolderPattern + 1;
  return name.size() == prefix.size() && name.starts_with(prefix.substr(0, prefix.size() - 6));
}

// Removes this user's work folders in `parent` whose program has ended:
// marked as held by a program, and with nobody holding their lock.
void SweepEndedFolders(const std::string& parent) {
  DIR* listing = opendir(parent.c_str());
  if (listing == nullptr) return;
  std::vector<std::string> ended;
  while (const dirent* entry = readdir(listing)) {
    if (!WorkFolderName(entry->d_name)) continue;
    struct stat info{};
    if (fstatat(dirfd(listing), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(info.st_mode) ||
        info.st_uid != geteuid() || (info.st_mode & 07777) != kHeldMode)
      continue;
    int folder = openat(dirfd(listing), entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (folder < 0) continue;
    if (flock(folder, LOCK_EX | LOCK_NB) == 0) ended.push_back(parent + "/" + entry->d_name);
    close(folder);
  }
  closedir(listing);
  // A start racing this one may sweep the same folder: what one removes the
  // other finds gone, and neither ever took a running program's lock.
  for (const std::string& folder : ended) {
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
  }
}

// Locks the folder just made and marks it as a program's; false when the
// folder cannot carry the mark, so that it is given up rather than left
// unswept after a kill.
bool HoldFolder(const std::string& folder) {
  int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0 || fchmod(fd, kHeldMode) != 0) {
    close(fd);
    return false;
  }
  if (current_lock >= 0) close(current_lock);
  current_lock = fd;
  return true;
}

// "TEMP" when it names a usable folder, else the session's runtime folder,
// else the system's temporary folder; relative and over-long places are
// passed over.
std::string MakeFolder() {
  const char* candidates[] = {std::getenv("TEMP"), std::getenv("XDG_RUNTIME_DIR"), "/tmp"};
  if (!swept) {
    swept = true;
    for (const char* candidate : candidates)
      if (Absolute(candidate)) SweepEndedFolders(candidate);
  }
  for (const char* candidate : candidates) {
    if (!Absolute(candidate)) continue;
    std::string parent = candidate;
    while (parent.size() > 1 && parent.back() == '/') parent.pop_back();
    if (parent == "/") parent.clear();
    if (parent.size() + sizeof kFolderPattern > kLongestFolder || !UsableParent(parent.empty() ? "/" : parent))
      continue;
    std::string pattern = parent + kFolderPattern;
    if (mkdtemp(pattern.data()) == nullptr) continue;  // made with mode 0700
    if (!HoldFolder(pattern)) {
      rmdir(pattern.c_str());
      continue;
    }
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
