// Small helpers the test suites share: temporary folders, files, the
// standard error stream of an in-process run, and child processes.
#pragma once

#include <string>
#include <vector>

namespace testsupport {

// A fresh folder, removed with everything in it when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string ReadFile(const std::string& path);  // whole file; empty if missing
// A 2 x 1 24-bit bitmap, red then green: the smallest picture a chain shows.
std::string TinyBitmap();
void WriteFile(const std::string& path, const std::string& bytes);
bool FileExists(const std::string& path);
std::vector<std::string> ListDir(const std::string& path);  // sorted names
// The newest wallpaper copy a program stored under `state_home` (its
// XDG_STATE_HOME), empty when there is none.
std::string NewestWallpaperCopy(const std::string& state_home);

// A small file system of this process's own at `folder` (made if missing)
// that has no room left, or takes no writes at all; it goes with the
// object. Only where the tests may mount, so `mounted()` says whether it
// is there.
class ScratchFileSystem {
 public:
  enum Kind { kFull, kReadOnly };
  ScratchFileSystem(const std::string& folder, Kind kind);
  ~ScratchFileSystem();
  ScratchFileSystem(const ScratchFileSystem&) = delete;
  ScratchFileSystem& operator=(const ScratchFileSystem&) = delete;
  bool mounted() const { return mounted_; }

 private:
  std::string folder_;
  bool mounted_ = false;
};

// Sends everything written to file descriptor 2 into a buffer while alive.
class StderrCapture {
 public:
  StderrCapture();
  ~StderrCapture();
  StderrCapture(const StderrCapture&) = delete;
  StderrCapture& operator=(const StderrCapture&) = delete;
  // Stops capturing (if still running) and returns what was written.
  std::string Finish();

 private:
  int saved_fd_ = -1;
  int capture_fd_ = -1;
  std::string text_;
};

struct ProcessResult {
  int exit_code = -1;  // -1 when ended by a signal
  int signal = 0;      // the signal that ended it, or 0
  std::string out;
  std::string err;
};

// Runs a program (argv[0] is its path) with optional extra environment
// entries ("NAME=value") and waits at most `timeout_seconds` for it.
ProcessResult RunProcess(const std::vector<std::string>& argv,
                         const std::vector<std::string>& extra_env = {},
                         int timeout_seconds = 120);

// Runs a Python script with the system interpreter that has Pillow.
ProcessResult RunPython(const std::string& script, const std::vector<std::string>& args = {});

// In-process call of a converter entry point with a vector of words.
int CallWithArgs(int (*entry)(int, char**), const std::vector<std::string>& args);

// Connects to a local socket as another user (uid and gid 65534, so only
// when run as root) and sends a request line; the answer it got.
std::string AnswerAsAnotherUser(const std::string& socket_path);

}  // namespace testsupport
