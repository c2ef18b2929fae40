// The desktop wallpaper: SPI_SETDESKWALLPAPER keeps its own copy of the
// bitmap, so the caller may delete its file as soon as the call returns, and
// hands that copy to the desktop setter chosen at start-up. Each change gets
// a new name, since desktops take a re-set of the same path as no change.
// The picture is written once: a bitmap the program made in its own work
// folder becomes the copy by a second link, so storing it costs one sync of
// what the chain already wrote; of any other file the bytes its headers
// name are copied, their writing to disk started step by step as it goes. An earlier copy leaves the folder
// at once but its blocks are given back on a thread of their own.
#include <windows.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "bitmap_header.h"
#include "desktop/desktop_setter.h"
#include "stored_files.h"
#include "layer_control.h"
#include "layer_model.h"
#include "layer_view.h"

namespace layer {
namespace {

constexpr std::string_view kCopyPrefix = "wallpaper-";
constexpr std::string_view kCopySuffix = ".bmp";

// The copy the desktop was last seen to accept; kept through a failed change
// so that what the desktop shows is never deleted.
std::string shown_copy;
// The lock on shown_copy that keeps other programs sharing the store off it.
FileDescriptor shown_hold;


struct Copy {
  uint64_t number;
  std::string path;
};

// The stored copies in `folder`, oldest first.
std::vector<Copy> StoredCopies(const std::string& folder) {
  std::vector<Copy> copies;
  DIR* listing = opendir(folder.c_str());
  if (listing == nullptr) return copies;
  while (const dirent* entry = readdir(listing)) {
    std::string_view name = entry->d_name;
    if (!name.starts_with(kCopyPrefix) || !name.ends_with(kCopySuffix)) continue;
    std::string_view digits = name.substr(kCopyPrefix.size(), name.size() - kCopyPrefix.size() - kCopySuffix.size());
    uint64_t number = 0;
    auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
    if (error != std::errc() || end != digits.data() + digits.size() || digits.empty()) continue;
    copies.push_back({number, folder + "/" + std::string(name)});
  }
  closedir(listing);
  std::sort(copies.begin(), copies.end(), [](const Copy& a, const Copy& b) { return a.number < b.number; });
  return copies;
}

void RemoveCopiesBut(const std::vector<Copy>& copies, const std::string& keep, const std::string& keep_too) {
  std::vector<std::string> going;
  for (const Copy& copy : copies)
    if (copy.path != keep && copy.path != keep_too) going.push_back(copy.path);
  RemoveStoredFiles(going);
}

// A copy on its way into the store: written, but neither safe on disk nor
// under its name yet. Removed if it gets no further.
struct PendingCopy {
  std::string folder;
  std::string linked;     // the caller's own file under a hidden second name
  IncomingFile file;      // else the copy
  FileDescriptor hold;    // taken before the copy has its name
  bool linkable = false;  // the caller's file may become the copy itself
  ~PendingCopy() {
    if (!linked.empty()) unlink(linked.c_str());
  }
};


// Whether the opened picture may become the stored copy by a second link:
// only a file the chain made in the program's own work folder, which it never
// writes again (it removes a name before making it afresh), with no other
// name, nothing past the bitmap, on the store's file system. A user's own
// file could change after, and is copied.
bool MayLink(const char* path, int source, uint64_t bytes, const std::string& folder) {
  struct stat picture{}, store{};
  return InWorkFolder(path) && fstat(source, &picture) == 0 && S_ISREG(picture.st_mode) && picture.st_nlink == 1 &&
         static_cast<uint64_t>(picture.st_size) == bytes && picture.st_uid == geteuid() &&
         stat(folder.c_str(), &store) == 0 && picture.st_dev == store.st_dev;
}

// Gives the picture a temporary second name in the store's folder. False
// when it cannot, or when the name turns out to be some other file than the
// one opened; it is then copied.
bool LinkPicture(const char* path, int source, PendingCopy* copy) {
  struct stat opened{};
  if (fstat(source, &opened) != 0) return false;
  static unsigned attempt = 0;
  for (int tries = 0; tries < 16; ++tries) {
    std::string temporary = copy->folder + "/.wallpaper." + std::to_string(getpid()) + "-" + std::to_string(++attempt);
    if (link(path, temporary.c_str()) != 0) {
      if (errno == EEXIST) continue;
      return false;
    }
    copy->linked = temporary;
    struct stat linked{};
    return lstat(temporary.c_str(), &linked) == 0 && linked.st_ino == opened.st_ino && linked.st_dev == opened.st_dev;
  }
  return false;
}

// Puts the bitmap's bytes into a new file in the store's folder, or links
// the picture there: 0, or the error. What keeps a picture out of the store
// (a full or read-only file system, a close asked for) shows here, before
// any desktop is told of it.
DWORD WriteCopy(const char* path, int source, uint64_t bytes, PendingCopy* copy) {
  if (copy->linkable) {
    if (LinkPicture(path, source, copy)) return fchmod(source, 0600) == 0 ? 0 : StoreError(errno);
    if (!copy->linked.empty()) unlink(copy->linked.c_str());
    copy->linked.clear();
  }
  DWORD error = copy->file.Open(copy->folder);
  return error != 0 ? error : CopyBytes(source, copy->file.get(), bytes);
}

// Makes the written copy safe on disk: 0, or the error. Touches no state of
// the layer, so it may run beside the drawing of the desktop.
DWORD SyncCopy(int source, PendingCopy& copy) {
  if (copy.linked.empty()) return copy.file.Sync();
  return fsync(source) == 0 ? 0 : StoreError(errno);
}

// Gives the copy, safe on disk, the next name. Of the earlier copies only
// the one the desktop shows is left; the new one's path goes to `stored`.
BOOL FinishCopy(PendingCopy* copy, std::string* stored) {
  std::vector<Copy> copies = StoredCopies(copy->folder);
  // After a restart the newest copy is the one the desktop was last given.
  bool shown_known = std::any_of(copies.begin(), copies.end(), [](const Copy& c) { return c.path == shown_copy; });
  std::string shown = shown_known ? shown_copy : copies.empty() ? std::string() : copies.back().path;
  RemoveCopiesBut(copies, shown, std::string());
  // Another program may store its copy under the number meant for this one.
  const uint64_t number = copies.empty() ? 1 : copies.back().number + 1;
  const std::string stem = copy->folder + "/" + std::string(kCopyPrefix);
  DWORD error = 0;
  if (!copy->linked.empty()) {
    copy->hold.reset(HoldStoredFile(copy->linked));  // before it has its name, so never found unheld
    error = NameFirstFree([&](const std::string& path) { return RenameUnlessTaken(copy->linked, path); }, stem,
                          number, kCopySuffix, stored);
    if (error == 0) copy->linked.clear();
  } else {
    error = NameFirstFree([&](const std::string& path) { return copy->file.NameUnlessTaken(path); }, stem, number,
                          kCopySuffix, stored);
    if (error == 0) copy->hold.reset(copy->file.ReleaseHold());
  }
  return error == 0 ? TRUE : Fail(error);
}

// Hands a copy to the desktop. The line that tells of a failure, empty
// when there was none.
std::string TellDesktop(const DesktopSetter& desktop, const std::string& path) {
  std::string why;
  if (desktop.show(path.c_str(), ChosenFit(), &why)) return std::string();
  return std::string("desktop: ") + desktop.name + " did not take the wallpaper: " + why + "\n";
}

// The earlier copy goes once the desktop has the new one; after a failure
// both stay, and the next change tries again.
void KeepShownCopies(const std::string& stored, bool shown, FileDescriptor* hold) {
  std::string folder = stored.substr(0, stored.rfind('/'));
  if (shown) {
    shown_hold.reset(hold->release());  // the earlier copy let go, so that it can go
    RemoveCopiesBut(StoredCopies(folder), stored, std::string());
    shown_copy = stored;
  } else {
    RemoveCopiesBut(StoredCopies(folder), stored, shown_copy);
  }
}

// Stores the bitmap at `path` and shows it, in the order the desktop
// needs. One that keeps the path is told of a copy already safe under its
// name. One that takes the pixels at once is told from the caller's file
// once the copy is written, while it is made safe on disk, so that its
// change waits for no disk; should that still fail, the desktop gets back
// the copy it showed before, and the call fails.
BOOL ChangeWallpaper(const char* path, std::string* stored, std::string* failure) {
  const DesktopSetter& desktop = ChosenDesktop();
  PendingCopy copy;
  copy.folder = StoreFolder();
  if (copy.folder.empty()) return Fail(ERROR_ENVVAR_NOT_FOUND);
  FileDescriptor source;
  uint64_t bytes = 0;
  if (!OpenPicture(path, &source, &bytes)) return FALSE;
  if (!MakeFolders(copy.folder)) return Fail(StoreError(errno));
  copy.linkable = MayLink(path, source.get(), bytes, copy.folder);
  DWORD error = WriteCopy(path, source.get(), bytes, &copy);
  if (error != 0) return Fail(error);
  if (desktop.keeps_path) {
    error = SyncCopy(source.get(), copy);
  } else {
    std::thread writer;
    try {
      writer = std::thread([&] { error = SyncCopy(source.get(), copy); });
    } catch (const std::system_error&) {
      // No thread to spare: one after the other.
    }
    *failure = TellDesktop(desktop, path);
    if (writer.joinable())
      writer.join();
    else
      error = SyncCopy(source.get(), copy);
    if (error != 0 && failure->empty() && !shown_copy.empty()) TellDesktop(desktop, shown_copy);
  }
  if (error != 0) return Fail(error);
  if (!FinishCopy(&copy, stored)) return FALSE;
  if (desktop.keeps_path) *failure = TellDesktop(desktop, *stored);
  KeepShownCopies(*stored, failure->empty(), &copy.hold);
  return TRUE;
}

// The chain does not look at the call's result, so a picture that could not
// become the wallpaper would otherwise go unnoticed.
void ReportRefusal(const char* path, DWORD error) {
  std::string reason = error == ERROR_BAD_FORMAT       ? "not a complete bitmap"
                       : error == ERROR_FILE_NOT_FOUND ? "no such file"
                                                       : "it could not be stored: " + StoreFailure(error);
  std::fprintf(stderr, "wallpaper refused: %s: %s; the wallpaper stays\n", PathForDisplay(path).c_str(), reason.c_str());
  std::fflush(stderr);
}

void TellTopLevelWindows(UINT action) {
  std::vector<uint32_t> top_level;
  for (const auto& [id, window] : Model().windows)
    if (window->parent == 0 && !window->destroying) top_level.push_back(id);
  for (uint32_t id : top_level)
    if (FindId(id) != nullptr) SendMessageA(HandleOf(id), WM_SETTINGCHANGE, action, 0);
}

}  // namespace
}  // namespace layer

using namespace layer;

std::string LayerWallpaperStorePath() {
  std::vector<Copy> copies = StoredCopies(StoreFolder());
  return copies.empty() ? std::string() : copies.back().path;
}

BOOL WINAPI SystemParametersInfoA(UINT action, UINT ui_param, PVOID pv_param, UINT win_ini) {
  switch (action) {
    case SPI_SETDESKWALLPAPER: {
      const auto* path = static_cast<const char*>(pv_param);
      if (path == nullptr || path[0] == '\0') {
        // No picture: the desktop goes without wallpaper. A desktop keeps
        // showing what it has, so its file must stay: only the store clears.
        if (&ChosenDesktop() != &kNoDesktop) return Fail(ERROR_NOT_SUPPORTED);
        std::string folder = StoreFolder();
        shown_hold.reset(-1);
        for (const Copy& copy : StoredCopies(folder)) {
          FileDescriptor file(open(copy.path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
          if (file.get() >= 0 && HeldElsewhere(file.get())) continue;  // another display's
          if (unlink(copy.path.c_str()) != 0 && errno != ENOENT) return Fail(ERROR_ACCESS_DENIED);
        }
        shown_copy.clear();
        CurrentView().WallpaperChanged("", std::string());
      } else {
        std::string stored, failure;
        if (!ChangeWallpaper(path, &stored, &failure)) {
          ReportRefusal(path, GetLastError());
          return FALSE;
        }
        CurrentView().WallpaperChanged(path, stored);
        if (!failure.empty()) {
          std::fwrite(failure.data(), 1, failure.size(), stderr);
          std::fflush(stderr);
        }
      }
      if (win_ini & SPIF_SENDWININICHANGE) TellTopLevelWindows(action);
      return TRUE;
    }
    case SPI_GETDESKWALLPAPER: {
      auto* buffer = static_cast<char*>(pv_param);
      if (buffer == nullptr || ui_param == 0) return Fail(ERROR_INVALID_PARAMETER);
      std::string store = LayerWallpaperStorePath();
      if (store.size() >= ui_param) {
        buffer[0] = '\0';  // a cut path would name another file
        return Fail(ERROR_INSUFFICIENT_BUFFER);
      }
      std::memcpy(buffer, store.c_str(), store.size() + 1);
      return TRUE;
    }
    default:
      return Fail(ERROR_INVALID_SPI_VALUE);
  }
}
