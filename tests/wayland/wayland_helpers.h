// What the Wayland tests share: sway running headless on one 800x600
// output, with the program and the tools that read the screen run as the
// compositor's user in a clean environment. sway refuses to run as root, so
// a root test run hands all of them to the unprivileged `nobody`.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "child_process.h"
#include "test_support.h"

namespace waylandtest {

// The programs are started and waited for by the suites' shared runner.
using testsupport::Child;
using testsupport::ChildOptions;
using testsupport::WaitFor;

class Sway {
 public:
  static constexpr int kWidth = 800, kHeight = 600;
  // The output's colour until a wallpaper is set.
  static constexpr unsigned char kBackground[3] = {0x20, 0x30, 0x40};

  // sway, swaybg and grim; the tests skip without them.
  static bool Installed();
  Sway();
  ~Sway();
  Sway(const Sway&) = delete;
  Sway& operator=(const Sway&) = delete;
  // Why it is not running; empty when it is.
  const std::string& failure() const { return failure_; }

  // The compositor user's scratch folder (also its HOME and working folder)
  // and its runtime folder.
  const std::string& home() const { return home_; }
  const std::string& runtime() const { return runtime_; }
  const std::string& wayland_display() const { return wayland_display_; }
  const std::string& swaysock() const { return swaysock_; }
  // The program under test, where the compositor's user may run it.
  const std::string& program() const { return program_; }

  // `argv` as the compositor's user, in its home, with only PATH, HOME,
  // XDG_RUNTIME_DIR, the sanitizers' options and `env` ("NAME=value").
  std::vector<std::string> AsUser(const std::vector<std::string>& argv, const std::vector<std::string>& env) const;
  // The same, run to its end.
  testsupport::ProcessResult Run(const std::vector<std::string>& argv, const std::vector<std::string>& env = {}) const;
  // The same in the background, in a process group of its own so that
  // whatever it starts goes with it.
  Child Start(const std::vector<std::string>& argv, const std::vector<std::string>& env, ChildOptions options) const;
  // A file the compositor's user owns, with these bytes.
  void Give(const std::string& path, const std::string& bytes) const;
  // The whole screen as a PNG under the home folder; empty on failure.
  std::string Screenshot(const std::string& name) const;
  // swaymsg with these words, to this compositor.
  testsupport::ProcessResult Message(const std::vector<std::string>& words) const;
  // sway's tree of windows as JSON.
  std::string Tree() const { return Message({"-r", "-t", "get_tree"}).out; }

 private:
  testsupport::TempDir scratch_;
  std::string home_, runtime_, wayland_display_, swaysock_, program_;
  std::vector<std::string> sanitizer_env_;
  std::string failure_;
  std::unique_ptr<Child> sway_;
};

}  // namespace waylandtest
