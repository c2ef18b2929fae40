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

// True when the file holds a whole bitmap that every desktop can show.
bool IsBitmapFile(int fd, uint64_t file_size);

// Makes every folder of `path` that is missing; false when it is no folder.
bool MakeFolders(const std::string& path);

// Copies the rest of `from` to `to` in steps whose writing to disk starts
// at once, so that a sync after has little left to wait for.
bool CopyAll(int from, int to);

// Sets the thread's error and returns FALSE.
BOOL Fail(DWORD error);

// The folder of the stored copies, empty when the environment gives none.
std::string StoreFolder();

// Programs on other displays share the store: each holds a shared lock on
// every copy its desktop may show, and no program removes a copy another
// holds. The lock on the file at `path`, -1 when it cannot be taken.
int HoldStoredFile(const std::string& path);
// True when another program holds the file open on `fd` (or this program
// through another descriptor).
bool HeldElsewhere(int fd);
// Gives the file at `from` the name `to` unless `to` exists already
// (errno then EEXIST), so that two programs never store under one name.
bool RenameUnlessTaken(const std::string& from, const std::string& to);

// Removes the files at `paths` at once, their space given back off the
// caller's path; files another program holds stay.
void RemoveStoredFiles(const std::vector<std::string>& paths);

// Opens the bitmap at `path` once it is known to be a whole one.
BOOL OpenPicture(const char* path, FileDescriptor* source);

}  // namespace layer
