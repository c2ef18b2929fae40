// The program as a person starts it: without a display it never maps Qt;
// with one it shows its window, comes back when started again, and ends
// with 0 when closed.
#include <dlfcn.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <chrono>
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

TEST_F(WindowProgramTest, UnreachableDisplayLeavesTheProgramHeadlessWithOneLine) {
  // Ended by the deadline: the headless program waits for its window to close.
  testsupport::ProcessResult run =
      testsupport::RunProcess({SKERROW_PROGRAM}, {"DISPLAY=:9999", "SKERROW_DESKTOP=none"}, 2);
  EXPECT_EQ(run.err,
            "skerrow: no window on this display (cannot open the display); running without one\ndesktop: none\n");
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
