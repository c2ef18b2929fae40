// The program as a person starts it: without a display it never maps Qt;
// with one it shows its window, comes back when started again, and ends
// with 0 when closed.
#include <dlfcn.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "controls_port.h"
#include "layer_view_host.h"
#include "test_support.h"
#include "x11_session_helpers.h"

namespace desktoptest {
namespace {

constexpr char kCaption[] = "Windows Skerrow Version 0.02";

bool Maps(pid_t pid, const std::string& library) {
  return testsupport::ReadFile("/proc/" + std::to_string(pid) + "/maps").find(library) != std::string::npos;
}

// Runs in a folder of its own, so that its configuration is the test's.
class WindowProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(chdir(dir_.path().c_str()), 0);
    setenv("TEMP", dir_.path().c_str(), 1);
    setenv("XDG_STATE_HOME", (dir_ / "state").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", dir_.path().c_str(), 1);
    chmod(dir_.path().c_str(), 0700);
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
    unsetenv("WAYLAND_DISPLAY");
    unsetenv("QT_QPA_PLATFORM");
  }
  void TearDown() override { ASSERT_EQ(chdir("/"), 0); }
  testsupport::TempDir dir_;
};

// A module opened with a table it was not built for starts nothing and says
// why; the program then runs headless.
TEST_F(WindowProgramTest, ViewModuleRefusesATableOfAnotherVersion) {
  void* module = dlopen(SKERROW_VIEW_MODULE_FILE, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(module, nullptr) << dlerror();
  auto open = reinterpret_cast<LayerViewEntry>(dlsym(module, LAYER_VIEW_ENTRY));
  ASSERT_NE(open, nullptr);
  const LayerViewHost& ours = layer::ViewHost();
  EXPECT_EQ(ours.version, kLayerViewVersion);
  LayerViewHost newer = ours, grown = ours;
  newer.version = kLayerViewVersion + 1;
  grown.size = sizeof(LayerViewHost) + 8;
  for (const LayerViewHost* host : {&newer, &grown}) {
    LayerViewModule view{};
    const char* reason = nullptr;
    EXPECT_EQ(open(host, &view, "test", &reason), kLayerViewFailed);
    ASSERT_NE(reason, nullptr);
    EXPECT_NE(std::string(reason).find("version"), std::string::npos) << reason;
    EXPECT_EQ(view.window_changed, nullptr) << "a refusing module handed back its side";
  }
}

TEST_F(WindowProgramTest, WithoutADisplayQtIsNeverLoaded) {
  unsetenv("DISPLAY");
  Child program({SKERROW_PROGRAM});
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  ASSERT_FALSE(program.Ended());
  EXPECT_TRUE(Maps(program.pid(), "libc.so"));
  EXPECT_FALSE(Maps(program.pid(), "libQt6"));
  EXPECT_FALSE(Maps(program.pid(), "libskerrow_view"));
  kill(program.pid(), SIGTERM);
  int code = -1;
  EXPECT_TRUE(WaitFor([&] { return program.Ended(&code); }));
  EXPECT_EQ(code, 0);
}

// However the display fails Qt, the program goes on without a window and
// says so in one line of its own; `--quit` then ends it with 0.
TEST_F(WindowProgramTest, ADisplayQtCannotOpenLeavesTheProgramHeadlessWithOneLine) {
  XServer doomed("");
  const struct {
    const char* what;
    bool stopped_at_connect;  // killed where Qt is about to connect to its server
    std::vector<std::string> env;
    std::string reason;
  } cases[] = {
      {"no server at the display", false, {"DISPLAY=:9999"}, "cannot open the display"},
      {"a Wayland display that is not there", false, {"DISPLAY", "WAYLAND_DISPLAY=gone"},
       "Failed to create wl_display (No such file or directory)"},
      {"the X server gone as Qt connects", true, {"DISPLAY=" + doomed.display()},
       "could not connect to display " + doomed.display()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::string> argv = {SKERROW_PROGRAM};
    if (c.stopped_at_connect)
      argv.insert(argv.begin(), {"/usr/bin/gdb", "-q", "-batch", "-ex", "set breakpoint pending on", "-ex",
                                 "break QApplicationPrivate::init", "-ex", "run", "-ex",
                                 "shell kill -9 " + std::to_string(doomed.pid()) + "; sleep 0.3", "-ex", "continue",
                                 "--args"});
    std::vector<std::string> env = c.env;
    env.push_back("SKERROW_DESKTOP=none");
    const std::string log = dir_ / (std::string(c.what) + ".txt");
    Child program(argv, {.env = env, .stderr_file = log, .own_group = true});
    const std::string line = "skerrow: no window on this display (" + c.reason + "); running without one\n";
    EXPECT_TRUE(WaitFor([&] { return testsupport::ReadFile(log).find("desktop: none") != std::string::npos; }, 30000));
    Child quit({SKERROW_PROGRAM, "--quit"}, {.env = env});
    int code = -1;
    EXPECT_TRUE(WaitFor([&] { return program.Ended(&code); }, 20000));
    const std::string said = testsupport::ReadFile(log);
    EXPECT_EQ(code, 0) << said;
    EXPECT_NE(said.find(line), std::string::npos) << said;
    EXPECT_EQ(said.find("skerrow: ", said.find(line) + 1), std::string::npos) << said;
    EXPECT_EQ(said.find("qt.qpa"), std::string::npos) << said;
  }
}

// Starts at once leave one program per user and display: each other start
// hands its request to it and ends with 0, however the display is named and
// whatever the runtime folder is.
TEST_F(WindowProgramTest, StartsAtOnceLeaveOneProgramPerUserAndDisplay) {
  XServer session("");
  ASSERT_TRUE(session.ok());
  const std::string file = dir_ / "runtime-file", shared = dir_ / "runtime-shared", read_only = dir_ / "runtime-read-only";
  testsupport::WriteFile(file, "");
  mkdir(shared.c_str(), 0755);
  mkdir(read_only.c_str(), 0500);
  mkdir((dir_ / "tmp").c_str(), 0700);
  const struct {
    const char* what;
    std::string runtime;
    bool with_screen;  // every other start names the display's screen too
  } cases[] = {
      {"the runtime folder usable", dir_.path(), false},
      {"the display named with and without its screen", dir_.path(), true},
      {"the runtime folder a file", file, false},
      {"the runtime folder open to others", shared, false},
      {"the runtime folder read-only", read_only, false},
  };
  constexpr int kStarts = 10;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::unique_ptr<Child>> starts;
    for (int i = 0; i < kStarts; ++i) {
      const std::string display = session.display() + (c.with_screen && i % 2 == 1 ? ".0" : "");
      starts.push_back(std::make_unique<Child>(
          std::vector<std::string>{SKERROW_PROGRAM},
          testsupport::ChildOptions{.env = {"DISPLAY=" + display, "XDG_RUNTIME_DIR=" + c.runtime, "TMPDIR=" + (dir_ / "tmp")},
                                    .stderr_file = dir_ / ("start" + std::to_string(i) + ".txt")}));
    }
    auto running = [&] {
      return std::count_if(starts.begin(), starts.end(), [](const auto& start) { return start->Running(); });
    };
    EXPECT_TRUE(WaitFor([&] { return running() <= 1; }, 30000));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(running(), 1);
    for (int i = 0; i < kStarts; ++i) {
      int code = -1;
      if (!starts[i]->Ended(&code)) continue;
      const std::string said = testsupport::ReadFile(dir_ / ("start" + std::to_string(i) + ".txt"));
      EXPECT_EQ(code, 0) << said;
      EXPECT_NE(said.find("already running for this user and display"), std::string::npos) << said;
    }
    starts.clear();
  }
}

TEST_F(WindowProgramTest, SecondStartAndOptionsReachTheProgramOnItsDisplayAndQuitEndsWithZero) {
  XServer session("");
  ASSERT_TRUE(session.ok());
  // An address in the configuration keeps the window hidden at start.
  testsupport::WriteFile(dir_ / "skerrow.cnf", "file://" + (dir_ / "none.bmp") + "\n");
  Child first({SKERROW_PROGRAM});
  std::string socket = dir_ / ("skerrow-_" + session.display().substr(1) + ".socket");
  ASSERT_TRUE(WaitFor([&] { return testsupport::FileExists(socket); })) << "no instance socket";
  EXPECT_TRUE(Maps(first.pid(), "libQt6Widgets"));
  EXPECT_TRUE(WindowsNamed(kCaption).empty() || !Viewable(WindowsNamed(kCaption).front()));

  Child second({SKERROW_PROGRAM});
  int code = -1;
  ASSERT_TRUE(WaitFor([&] { return second.Ended(&code); }));
  EXPECT_EQ(code, 0);
  ASSERT_TRUE(WaitFor([] {
    auto windows = WindowsNamed(kCaption);
    return !windows.empty() && Viewable(windows.front());
  })) << "the running program's window did not come back";

  // Options reach the program on this display as they do one without.
  for (const auto& [option, expected] : {std::pair{"--pause", 0}, {"--toggle-pause", 0}, {"--current", 1}, {"--next", 0}}) {
    Child steer({SKERROW_PROGRAM, option});
    ASSERT_TRUE(WaitFor([&] { return steer.Ended(&code); })) << option;
    EXPECT_EQ(code, expected) << option;
  }
  Child quit({SKERROW_PROGRAM, "--quit"});
  ASSERT_TRUE(WaitFor([&] { return first.Ended(&code); }));
  EXPECT_EQ(code, 0);
  EXPECT_FALSE(testsupport::FileExists(socket));
}

}  // namespace
}  // namespace desktoptest
