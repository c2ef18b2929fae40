// What the wallpaper calls share about the store: its folder, and opening,
// checking and copying the bitmaps that go into it.
#pragma once

#include <windows.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

namespace layer {

// Closes a descriptor when the scope ends.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd = -1) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }
  void reset(int fd) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
  }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

// The bytes from the file's start that hold the whole bitmap, which every
// desktop can show; 0 when it is none. What follows them is never read.
uint64_t BitmapBytes(int fd, uint64_t file_size);

// Makes every folder of `path` that is missing; false (errno set) when it
// cannot, or when it is no folder.
bool MakeFolders(const std::string& path);

// Copies the first `bytes` of `from` to `to` in steps whose writing to disk
// starts at once, so that a sync after has little left to wait for. 0, or
// the error; ERROR_CANCELLED when the program is asked to close meanwhile.
DWORD CopyBytes(int from, int to, uint64_t bytes);

// Sets the thread's error and returns FALSE.
BOOL Fail(DWORD error);

// The error a failed store call sets for the system's error number, and
// the reason a line about it gives.
DWORD StoreError(int error_number);
std::string StoreFailure(DWORD error);

// The folder of the stored copies, empty when the environment gives none.
std::string StoreFolder();

// Removes the files at `paths` at once, their space given back off the
// caller's path.
void RemoveStoredFiles(const std::vector<std::string>& paths);

// Opens the bitmap at `path` once it is known to be a whole one; the bytes
// that hold it go to `bytes`.
BOOL OpenPicture(const char* path, FileDescriptor* source, uint64_t* bytes);

// A file on its way into the store. Where the system allows, it has no name
// until it is whole and safe on disk, so that nothing half written is ever
// left in the folder, not even by a kill; elsewhere it has a hidden name,
// removed if it gets no further.
class IncomingFile {
 public:
  IncomingFile() = default;
  ~IncomingFile();
  IncomingFile(const IncomingFile&) = delete;
  IncomingFile& operator=(const IncomingFile&) = delete;
  // A new empty file of mode 0600 in `folder`: 0, or the error.
  DWORD Open(const std::string& folder);
  int get() const { return file_.get(); }
  // A path that reads the file while it is on its way.
  std::string ReadPath() const;
  // Syncs the file and gives it the name `path`, replacing a file of that
  // name: 0, or the error.
  DWORD Finish(const std::string& path);

 private:
  FileDescriptor file_;
  std::string temporary_;  // its hidden name; empty while it has none
};

}  // namespace layer
