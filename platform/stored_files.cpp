// The store's folder and the checked copying both wallpaper calls use.
#include "stored_files.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <system_error>
#include <thread>
#include <vector>

#include "bitmap_header.h"
#include "layer_model.h"

namespace layer {

constexpr const char* kStoreFolder = "skerrow";

bool IsBitmapFile(int fd, uint64_t file_size) {
  unsigned char head[kBitmapHeadBytes] = {};
  size_t wanted = static_cast<size_t>(std::min<uint64_t>(sizeof head, file_size));
  if (pread(fd, head, wanted, 0) != static_cast<ssize_t>(wanted)) return false;
  BitmapLayout layout;
  return ReadBitmapHeader(head, wanted, file_size, &layout) == BitmapVerdict::kDrawable;
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
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// Copies in steps, starting each step's writing to disk as soon as it is
// made, so that the sync at the end has little left to wait for and the
// picture costs one read, one write and that sync.
bool CopyAll(int from, int to) {
  constexpr size_t kStep = size_t{1} << 20;
  posix_fadvise(from, 0, 0, POSIX_FADV_SEQUENTIAL);
  std::vector<char> buffer;  // only when the kernel cannot copy between these files
  off_t in_offset = 0, written = 0;
  for (;;) {
    ssize_t moved = 0;
    if (buffer.empty()) {
      // Inside the kernel where the file systems allow it: no trip through
      // a buffer of ours.
      moved = copy_file_range(from, &in_offset, to, nullptr, kStep, 0);
      if (moved < 0 && errno == EINTR) continue;
      if (moved < 0) {
        if (in_offset != 0 || (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP))
          return false;
        if (lseek(from, 0, SEEK_SET) != 0) return false;
        buffer.resize(kStep);
        continue;
      }
    } else {
      moved = read(from, buffer.data(), buffer.size());
      if (moved < 0 && errno == EINTR) continue;
      if (moved < 0) return false;
      for (ssize_t done = 0; done < moved;) {
        ssize_t put = write(to, buffer.data() + done, static_cast<size_t>(moved - done));
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        done += put;
      }
    }
    if (moved == 0) return true;
    sync_file_range(to, written, moved, SYNC_FILE_RANGE_WRITE);  // a hint: its failure shows at the sync
    written += moved;
  }
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

BOOL OpenPicture(const char* path, FileDescriptor* source) {
  // O_NONBLOCK: a FIFO given as a picture must not stall the program.
  source->reset(open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (source->get() < 0) return Fail(errno == ENOENT ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED);
  struct stat info{};
  if (fstat(source->get(), &info) != 0 || !S_ISREG(info.st_mode)) return Fail(ERROR_BAD_FORMAT);
  fcntl(source->get(), F_SETFL, fcntl(source->get(), F_GETFL) & ~O_NONBLOCK);
  if (!IsBitmapFile(source->get(), static_cast<uint64_t>(info.st_size))) return Fail(ERROR_BAD_FORMAT);
  return TRUE;
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

}  // namespace layer
