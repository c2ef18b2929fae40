// What the wallpaper calls share about the store: its folder, and opening,
// checking and copying the bitmaps that go into it.
#pragma once

#include <windows.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
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

// Names a file `stem`, the first number from `number` on that no file has,
// and `suffix`, by `name`, which returns false with errno EEXIST
// when the name is taken; the name goes to `stored`. 0, or the error.
DWORD NameFirstFree(const std::function<bool(const std::string&)>& name, const std::string& stem, uint64_t number,
                    std::string_view suffix, std::string* stored);

// Removes the files at `paths` at once, their space given back off the
// caller's path; files another program holds stay.
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
  // Makes the file safe on disk and holds it for this program: 0, or the
  // error.
  DWORD Sync();
  // Gives the synced file the name `path` unless a file has it already
  // (errno then EEXIST); false, errno set, when it cannot.
  bool NameUnlessTaken(const std::string& path);
  // The named file's descriptor, which holds it for this program.
  int ReleaseHold() { return file_.release(); }

 private:
  FileDescriptor file_;
  std::string temporary_;  // its hidden name; empty while it has none
};

}  // namespace layer
