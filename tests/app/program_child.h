// The whole program as a user runs it: a child process in its own folder,
// no display, ended by SIGTERM. Shared by the whole-program tests.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "test_support.h"

namespace programchild {

using testsupport::ReadFile;

// A running skerrow, its standard error in a file, killed if still alive
// when the test ends. `temp` null: TEMP not set; `runtime` empty:
// XDG_RUNTIME_DIR not set.
class Program {
 public:
  Program(const std::string& folder, const char* temp, const std::string& state, const std::string& log,
          const std::string& runtime = "") {
    pid_ = fork();
    if (pid_ == 0) {
      int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (fd < 0 || dup2(fd, 2) < 0 || chdir(folder.c_str()) != 0) _exit(127);
      unsetenv("DISPLAY");
      unsetenv("WAYLAND_DISPLAY");
      temp != nullptr ? setenv("TEMP", temp, 1) : unsetenv("TEMP");
      runtime.empty() ? unsetenv("XDG_RUNTIME_DIR") : setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
      setenv("XDG_STATE_HOME", state.c_str(), 1);
      execl(SKERROW_PROGRAM, "skerrow", static_cast<char*>(nullptr));
      _exit(127);
    }
  }
  ~Program() {
    if (pid_ > 0 && !exited_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  bool Running() {
    if (exited_) return false;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) Record(status);
    return !exited_;
  }
  // SIGTERM, then the exit code (-1 when it did not end normally in time).
  int Terminate() {
    if (!Running()) return code_;
    kill(pid_, SIGTERM);
    for (int i = 0; i < 1000 && Running(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return exited_ ? code_ : -1;
  }

 private:
  void Record(int status) {
    exited_ = true;
    code_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  pid_t pid_ = -1;
  bool exited_ = false;
  int code_ = -1;
};

class ProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = dir_ / "home";
    pictures_ = dir_ / "home/pictures";
    temp_ = dir_ / "temp";
    state_ = dir_ / "state";
    std::filesystem::create_directories(pictures_);
    std::filesystem::create_directories(temp_);
  }
  std::string Store() const { return testsupport::NewestWallpaperCopy(state_); }
  std::string Log() const { return ReadFile(dir_ / "stderr.txt"); }

  // Every distinct wallpaper stored, in order, until `count` were seen or
  // the program gave up.
  std::vector<std::string> WatchWallpapers(Program& program, std::size_t count) {
    std::vector<std::string> seen;
    std::string last;
    for (int i = 0; i < 6000 && seen.size() < count && program.Running(); ++i) {
      std::string now = ReadFile(Store());
      if (!now.empty() && now != last) {
        seen.push_back(now);
        last = now;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return seen;
  }

  testsupport::TempDir dir_;
  std::string folder_, pictures_, temp_, state_;
};

}  // namespace programchild
