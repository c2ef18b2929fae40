// The store's folder and the checked copying both wallpaper calls use.
#include "stored_files.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "bitmap_header.h"
#include "event_sources.h"
#include "layer_model.h"

namespace layer {

constexpr const char* kStoreFolder = "skerrow";

uint64_t BitmapBytes(int fd, uint64_t file_size) {
  unsigned char head[kBitmapHeadBytes] = {};
  size_t wanted = static_cast<size_t>(std::min<uint64_t>(sizeof head, file_size));
  if (pread(fd, head, wanted, 0) != static_cast<ssize_t>(wanted)) return 0;
  BitmapLayout layout;
  if (ReadBitmapHeader(head, wanted, file_size, &layout) != BitmapVerdict::kDrawable) return 0;
  return layout.file_bytes;
}

bool MakeFolders(const std::string& path) {
  std::string partial;
  size_t position = 0;
  while (position != std::string::npos) {
    position = path.find('/', position + 1);
    partial = path.substr(0, position);
    if (partial.empty()) continue;
    if (mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  struct stat info{};
  if (stat(path.c_str(), &info) != 0) return false;
  if (!S_ISDIR(info.st_mode)) errno = ENOTDIR;
  return S_ISDIR(info.st_mode);
}

// Copies in steps, starting each step's writing to disk as soon as it is
// made, so that the sync at the end has little left to wait for and the
// picture costs one read, one write and that sync. Between steps it looks
// whether the program is to close: however large the picture, a close
// waits for one step at most.
DWORD CopyBytes(int from, int to, uint64_t bytes) {
  constexpr size_t kStep = size_t{1} << 20;
  posix_fadvise(from, 0, static_cast<off_t>(bytes), POSIX_FADV_SEQUENTIAL);
  std::vector<char> buffer;  // only when the kernel cannot copy between these files
  off_t in_offset = 0, written = 0;
  while (static_cast<uint64_t>(written) < bytes) {
    if (CloseRequested()) return ERROR_CANCELLED;
    const size_t step = static_cast<size_t>(std::min<uint64_t>(kStep, bytes - static_cast<uint64_t>(written)));
    ssize_t moved = 0;
    if (buffer.empty()) {
      // Inside the kernel where the file systems allow it: no trip through
      // a buffer of ours.
      moved = copy_file_range(from, &in_offset, to, nullptr, step, 0);
      if (moved < 0 && errno == EINTR) continue;
      if (moved < 0) {
        if (in_offset != 0 || (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP))
          return StoreError(errno);
        buffer.resize(kStep);
        continue;
      }
    } else {
      moved = pread(from, buffer.data(), step, written);
      if (moved < 0 && errno == EINTR) continue;
      if (moved < 0) return ERROR_READ_FAULT;
      for (ssize_t done = 0; done < moved;) {
        ssize_t put = write(to, buffer.data() + done, static_cast<size_t>(moved - done));
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return StoreError(put < 0 ? errno : ENOSPC);
        done += put;
      }
    }
    if (moved == 0) return ERROR_BAD_FORMAT;  // the file was cut while it was copied
    sync_file_range(to, written, moved, SYNC_FILE_RANGE_WRITE);  // a hint: its failure shows at the sync
    written += moved;
  }
  return 0;
}

BOOL Fail(DWORD error) {
  SetError(error);
  return FALSE;
}

std::string StoreFolder() {
  std::string base;
  const char* state_home = std::getenv("XDG_STATE_HOME");
  const char* home = std::getenv("HOME");
  if (state_home != nullptr && state_home[0] == '/')  // relative values are to be ignored
    base = state_home;
  else if (home != nullptr && home[0] != '\0')
    base = std::string(home) + "/.local/state";
  else
    return std::string();
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  return base + "/" + kStoreFolder;
}

BOOL OpenPicture(const char* path, FileDescriptor* source, uint64_t* bytes) {
  // O_NONBLOCK: a FIFO given as a picture must not stall the program.
  source->reset(open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (source->get() < 0) return Fail(errno == ENOENT ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED);
  struct stat info{};
  if (fstat(source->get(), &info) != 0 || !S_ISREG(info.st_mode)) return Fail(ERROR_BAD_FORMAT);
  fcntl(source->get(), F_SETFL, fcntl(source->get(), F_GETFL) & ~O_NONBLOCK);
  *bytes = BitmapBytes(source->get(), static_cast<uint64_t>(info.st_size));
  if (*bytes == 0) return Fail(ERROR_BAD_FORMAT);
  return TRUE;
}

DWORD StoreError(int error_number) {
  switch (error_number) {
    case ENOSPC:
    case EDQUOT: return ERROR_DISK_FULL;
    case EROFS: return ERROR_WRITE_PROTECT;
    case EACCES:
    case EPERM: return ERROR_ACCESS_DENIED;
    case ENOTDIR:
    case ENOENT: return ERROR_PATH_NOT_FOUND;
    case ECANCELED: return ERROR_CANCELLED;
    default: return ERROR_WRITE_FAULT;
  }
}

std::string StoreFailure(DWORD error) {
  char text[256];
  if (FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, text, sizeof text,
                     nullptr) > 0)
    return text;
  return "error " + std::to_string(error);
}

int HoldStoredFile(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
  if (fd >= 0 && flock(fd, LOCK_SH) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool HeldElsewhere(int fd) { return flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK; }

bool RenameUnlessTaken(const std::string& from, const std::string& to) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  // A file system without the flag: a second link is refused all the same.
  if (link(from.c_str(), to.c_str()) != 0) return false;
  unlink(from.c_str());
  return true;
}

// The names go now, so the folder never holds more than it should; a file
// is held open while its name goes, and closed on a thread of its own, since
// giving a large file's blocks back may take a while and the caller need not
// wait for it. Should the program end first, the system closes it all the same.
void RemoveStoredFiles(const std::vector<std::string>& paths) {
  std::vector<int> held;
  for (const std::string& path : paths) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    if (fd >= 0 && HeldElsewhere(fd)) {
      close(fd);
      continue;
    }
    if (unlink(path.c_str()) == 0 && fd >= 0)
      held.push_back(fd);
    else if (fd >= 0)
      close(fd);
  }
  if (held.empty()) return;
  try {
    std::thread([held] {
      for (int fd : held) close(fd);
    }).detach();
  } catch (const std::system_error&) {
    for (int fd : held) close(fd);
  }
}

namespace {

// A file with no name can be given one only through its entry in /proc.
std::string ProcPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

}  // namespace

IncomingFile::~IncomingFile() {
  if (!temporary_.empty()) unlink(temporary_.c_str());
}

DWORD IncomingFile::Open(const std::string& folder) {
  static const bool unnamed = access("/proc/self/fd", X_OK) == 0;
  int fd = unnamed ? open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600) : -1;
  if (fd < 0 && unnamed && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return StoreError(errno);
  if (fd < 0) {
    std::string name = folder + "/.wallpaper.XXXXXX";
    fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) return StoreError(errno);
    temporary_ = name;
  }
  file_.reset(fd);
  return fchmod(fd, 0600) == 0 ? 0 : StoreError(errno);
}

std::string IncomingFile::ReadPath() const { return temporary_.empty() ? ProcPath(file_.get()) : temporary_; }

DWORD IncomingFile::Sync() {
  if (fsync(file_.get()) != 0) return StoreError(errno);
  // Held before it has a name, so that no other program finds it unheld.
  flock(file_.get(), LOCK_SH);
  return 0;
}

bool IncomingFile::NameUnlessTaken(const std::string& path) {
  if (!temporary_.empty()) {
    if (!RenameUnlessTaken(temporary_, path)) return false;
    temporary_.clear();
    return true;
  }
  // A second link never replaces a file of that name.
  return linkat(AT_FDCWD, ProcPath(file_.get()).c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0;
}

DWORD NameFirstFree(const std::function<bool(const std::string&)>& name, const std::string& stem, uint64_t number,
                    std::string_view suffix, std::string* stored) {
  for (int tries = 0;; ++tries, ++number) {
    *stored = stem + std::to_string(number) + std::string(suffix);
    if (name(*stored)) return 0;
    if (errno != EEXIST) return StoreError(errno);
    if (tries == 64) return ERROR_WRITE_FAULT;
  }
}

}  // namespace layer
