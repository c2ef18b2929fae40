// The whole program as a user runs it: a child process in its own folder,
// no display, ended by SIGTERM. Shared by the whole-program tests.
#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "child_process.h"
#include "test_support.h"

namespace programchild {

using testsupport::ReadFile;

// A running skerrow, its standard error in a file, ended when the test
// ends. `temp` null: TEMP not set; `runtime` empty: XDG_RUNTIME_DIR not set,
// the one-instance socket then in the test's own folder (TMPDIR), so that
// programs of tests running side by side never meet.
class Program : public testsupport::Child {
 public:
  Program(const std::string& folder, const char* temp, const std::string& state, const std::string& log,
          const std::string& runtime = "")
      : Child({SKERROW_PROGRAM}, {.env = {"DISPLAY", "WAYLAND_DISPLAY", temp ? "TEMP=" + std::string(temp) : "TEMP",
                                          runtime.empty() ? "XDG_RUNTIME_DIR" : "XDG_RUNTIME_DIR=" + runtime,
                                          "XDG_STATE_HOME=" + state,
                                          "TMPDIR=" + std::filesystem::path(state).parent_path().string()},
                                  .folder = folder,
                                  .stderr_file = log}) {}
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

  // Another start of the program with `options`, in the same session as
  // Program: its exit code, standard output and standard error.
  struct OptionRun {
    int code = -1;
    std::string out, err;
  };
  OptionRun RunOptions(const std::vector<std::string>& options) {
    std::vector<std::string> argv = {SKERROW_PROGRAM};
    argv.insert(argv.end(), options.begin(), options.end());
    OptionRun run;
    const std::string err = dir_ / "option-stderr.txt";
    {
      testsupport::Child child(argv, {.env = {"DISPLAY", "WAYLAND_DISPLAY", "XDG_RUNTIME_DIR", "TMPDIR=" + dir_.path()},
                                      .stderr_file = err,
                                      .line_fd = 1});
      while (std::optional<std::string> line = child.NextLine(5000)) run.out += *line + "\n";
      testsupport::WaitFor([&] { return child.Ended(&run.code); }, 5000);
    }
    run.err = ReadFile(err);
    return run;
  }

  testsupport::TempDir dir_;
  std::string folder_, pictures_, temp_, state_;
};

}  // namespace programchild
