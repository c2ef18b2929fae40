// Desktops reached through another program: the Plasma shell's script
// service (a recording stand-in on a private bus), the LXQt file manager
// (a recording command on PATH) and sway's IPC socket (a server that hangs
// up, then answers).
// Their failures are one line each, bounded in time, and never lose the
// copy the desktop shows.
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include <gtest/gtest.h>

#include "desktop/desktop_setter.h"
#include "desktop/sway_replies.h"
#include "desktop_helpers.h"

using namespace desktoptest;
using testsupport::ListDir;
using testsupport::ReadFile;
using testsupport::WriteFile;
using layer::WallpaperFit;

namespace {

class RelayedDesktopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("XDG_STATE_HOME", state_.c_str(), 1);
    picture_ = DrawBitmap(files_ / "p.bmp", 16, 9, 0);
  }
  std::vector<std::string> Copies() { return ListDir(state_ + "/skerrow"); }
  // One change: what it wrote, and how long it took.
  std::string Change(std::string* stored, double* seconds = nullptr) {
    auto start = std::chrono::steady_clock::now();
    std::string said;
    *stored = SetWallpaper(picture_, &said);
    if (seconds != nullptr) *seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return said;
  }

  testsupport::TempDir files_;
  std::string state_ = files_ / "state \"quoted\" home";
  std::string picture_;
};

TEST_F(RelayedDesktopTest, LxqtCommandIsBoundedAndAFailureKeepsTheShownCopy) {
  // The stand-in records its arguments and behaves as the test's files say.
  const std::string bin = files_ / "bin";
  mkdir(bin.c_str(), 0700);
  WriteFile(bin + "/pcmanfm-qt", "#!/bin/sh\necho $$ > '" + files_ / "pid" + "'\nprintf '%s\\n' \"$@\" >> '" +
                                     files_ / "args" + "'\n[ -e '" + files_ / "hang" + "' ] && exec sleep 30\n[ -e '" +
                                     files_ / "refuse" + "' ] && exit 3\nexit 0\n");
  chmod((bin + "/pcmanfm-qt").c_str(), 0700);
  ScopedEnv path("PATH", (bin + ":/usr/bin:/bin").c_str());
  EXPECT_EQ(ChooseDesktop("lxqt"), "desktop: lxqt\n");

  struct Step {
    const char* mode;          // "", "refuse" or "hang"
    const char* line;          // a part of the one line a failure prints
    std::vector<std::string> copies;
  } const steps[] = {
      {"", nullptr, {"wallpaper-1.bmp"}},
      {"refuse", "pcmanfm-qt refused the wallpaper (exit status 3)", {"wallpaper-1.bmp", "wallpaper-2.bmp"}},
      {"refuse", "pcmanfm-qt refused", {"wallpaper-1.bmp", "wallpaper-3.bmp"}},  // the shown one stays
      {"hang", "pcmanfm-qt did not answer within 2 seconds", {"wallpaper-1.bmp", "wallpaper-4.bmp"}},
      {"", nullptr, {"wallpaper-5.bmp"}},
  };
  for (const Step& step : steps) {
    std::remove((files_ / "refuse").c_str());
    std::remove((files_ / "hang").c_str());
    std::remove((files_ / "args").c_str());
    if (step.mode[0] != '\0') WriteFile(files_ / step.mode, "");
    std::string stored;
    double seconds = 0;
    std::string said = Change(&stored, &seconds);
    SCOPED_TRACE(step.copies.back());
    EXPECT_EQ(stored, state_ + "/skerrow/" + step.copies.back());
    EXPECT_EQ(ReadFile(files_ / "args"), "--set-wallpaper\n" + stored + "\n");
    EXPECT_EQ(Copies(), step.copies);
    EXPECT_LT(seconds, 3.0);
    std::string expected = "wallpaper: " + stored + "\n";
    if (step.line != nullptr) {
      EXPECT_NE(said.find(std::string("desktop: lxqt did not take the wallpaper: ") + step.line), std::string::npos)
          << said;
      EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 2) << said;
    } else {
      EXPECT_EQ(said, expected);
    }
    pid_t child = std::atoi(ReadFile(files_ / "pid").c_str());
    EXPECT_TRUE(child > 0 && kill(child, 0) != 0) << "the command outlived the call";
  }
  // A fit is the file manager's wallpaper mode.
  std::remove((files_ / "args").c_str());
  SetFit("2", "0");
  std::string stored;
  EXPECT_EQ(Change(&stored), "wallpaper: " + state_ + "/skerrow/wallpaper-6.bmp\n");
  SetFit(nullptr, nullptr);
  EXPECT_EQ(ReadFile(files_ / "args"), "--set-wallpaper\n" + stored + "\n--wallpaper-mode=stretch\n");
}

// The recorded script run against desktops as the shell has them: screens
// 0 (the primary, on the right), 1 (left) and 2 (below the left one), in
// scaled units; one desktop of a disconnected screen and a second activity
// on screen 1. What each desktop was given, a line per write.
constexpr char kRunScript[] = R"(
const [script, geometry] = [require('fs').readFileSync(process.argv[1], 'utf8'), JSON.parse(process.argv[2])];
const desktops = () => [0, 1, -1, 2, 1].map(screen => ({screen, writeConfig(key, value) {
  console.log(`${this.screen} ${this.wallpaperPlugin} ${this.currentConfigGroup.join('/')} ${key}=${value}`);
}}));
new Function('desktops', 'screenGeometry', script)(
    desktops, geometry && (s => ({x: geometry[s][0], y: geometry[s][1], width: 960, height: 540})));
)";

TEST_F(RelayedDesktopTest, PlasmaRunsOneScriptForEveryDesktopOrEachScreenAndARefusalIsOneLine) {
  // Without a bus, and then without the shell on it, the call goes on.
  {
    ScopedEnv no_bus("DBUS_SESSION_BUS_ADDRESS", nullptr);
    ScopedEnv no_runtime("XDG_RUNTIME_DIR", files_.path().c_str());
    ChooseDesktop("kde");
    std::string stored;
    EXPECT_NE(Change(&stored).find("desktop: kde did not take the wallpaper: no session bus"), std::string::npos);
    EXPECT_FALSE(stored.empty());
  }
  SessionBus bus;
  std::string stored;
  EXPECT_NE(Change(&stored).find("org.kde.plasmashell"), std::string::npos);

  const std::string log = files_ / "scripts", refuse = files_ / "refuse";
  BackgroundProgram shell(
      {SKERROW_PYTHON, "-c",
       "import os, sys, dbus, dbus.service, dbus.mainloop.glib\nfrom gi.repository import GLib\n"
       "dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)\n"
       "class Shell(dbus.service.Object):\n"
       "    @dbus.service.method('org.kde.PlasmaShell', in_signature='s', out_signature='')\n"
       "    def evaluateScript(self, script):\n"
       "        if os.path.exists(sys.argv[2]):\n"
       "            raise dbus.exceptions.DBusException('Widgets are locked', name='org.kde.plasmashell.Error')\n"
       "        open(sys.argv[1], 'a').write(script)\n"
       "session = dbus.SessionBus()\nname = dbus.service.BusName('org.kde.plasmashell', session)\n"
       "Shell(session, '/PlasmaShell')\nprint('ready', flush=True)\nGLib.MainLoop().run()\n",
       log, refuse},
      1);
  std::string said = Change(&stored);
  EXPECT_EQ(said, "wallpaper: " + stored + "\n");
  auto Uri = [](const std::string& path) {
    return testsupport::RunPython("import sys, pathlib\nprint(pathlib.Path(sys.argv[1]).as_uri(), end='')\n", {path}).out;
  };
  std::string uri = Uri(stored);
  std::string literal;  // the URI as a script string: its quotes escaped
  for (char c : uri) literal += c == '"' ? std::string("\\\"") : std::string(1, c);
  EXPECT_EQ(ReadFile(log),
            "var all = desktops();\n"
            "for (var i = 0; i < all.length; i++) {\n"
            "  var d = all[i];\n"
            "  d.wallpaperPlugin = \"org.kde.image\";\n"
            "  d.currentConfigGroup = [\"Wallpaper\", \"org.kde.image\", \"General\"];\n"
            "  d.writeConfig(\"Image\", \"" + literal + "\");\n"
            "}\n");

  // A fit becomes every desktop's FillMode.
  std::remove(log.c_str());
  SetFit("0", "0");
  Change(&stored);
  SetFit(nullptr, nullptr);
  EXPECT_NE(ReadFile(log).find("  d.writeConfig(\"FillMode\", 6);\n}\n"), std::string::npos) << ReadFile(log);

  // A picture per screen, by place: the pictures listed out of place, the
  // right-hand monitor first.
  const layer::DesktopSetter& kde = layer::ChosenDesktop();
  const std::vector<layer::MonitorPicture> pictures = {{{"DP-1", 1920, 0, 1920, 1080}, files_ / "right \"r\".bmp"},
                                                       {{"DP-2", 0, 0, 1920, 1080}, files_ / "left.bmp"},
                                                       {{"DP-3", 0, 1080, 1920, 1080}, files_ / "below.bmp"}};
  struct Step {
    WallpaperFit fit;
    const char* geometry;  // each screen's place, or none from a shell without it
    int picture[3];        // the picture each screen gets
    const char* fill;      // the FillMode written, if any
  } const steps[] = {
      {WallpaperFit::kFit, "[[960, 0], [0, 0], [0, 540]]", {0, 1, 2}, "1"},
      {WallpaperFit::kSpan, "[[960, 0], [0, 0], [0, 540]]", {0, 1, 2}, "2"},
      {WallpaperFit::kKeep, "null", {1, 2, 0}, nullptr},  // screens by number, pictures by place
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.geometry);
    std::remove(log.c_str());
    std::string why;
    ASSERT_TRUE(kde.show_each(pictures, step.fit, &why)) << why;
    std::string expected;
    for (int screen : {0, 1, 2, 1}) {
      std::string prefix = std::to_string(screen) + " org.kde.image Wallpaper/org.kde.image/General ";
      expected += prefix + "Image=" + Uri(pictures[step.picture[screen]].path) + "\n";
      if (step.fill != nullptr) expected += prefix + "FillMode=" + step.fill + "\n";
    }
    auto ran = testsupport::RunProcess({"/usr/bin/node", "-e", kRunScript, log, step.geometry}, {}, 20);
    EXPECT_EQ(ran.out, expected) << ran.err << ReadFile(log);
  }

  WriteFile(refuse, "");
  said = Change(&stored);
  EXPECT_EQ(said, "wallpaper: " + stored + "\n" +
                      "desktop: kde did not take the wallpaper: the Plasma shell refused the script: Widgets are locked\n");
}

// The real compositor is tested under tests/wayland; this stand-in shows
// what it will not do there: hang up without an answer, then answer and
// keep the command, which carries the fit as the background's mode.
TEST_F(RelayedDesktopTest, SwayThatHangsUpIsOneLineAndAnAnswerTakesTheFit) {
  const std::string socket_path = files_ / "sway.sock";
  int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, socket_path.c_str());
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(listener, 4), 0);
  std::string command;
  std::thread compositor([&] {
    int peer = accept(listener, nullptr, nullptr);
    if (peer >= 0) close(peer);
    peer = accept(listener, nullptr, nullptr);
    char header[14];  // "i3-ipc", the length and the type
    uint32_t length = 0;
    if (peer >= 0 && recv(peer, header, sizeof header, MSG_WAITALL) == sizeof header) {
      std::memcpy(&length, header + 6, sizeof length);
      command.resize(std::min<uint32_t>(length, 4096));
      recv(peer, command.data(), command.size(), MSG_WAITALL);
      const std::string result = "[{\"success\": true}]";
      const uint32_t reply_header[2] = {static_cast<uint32_t>(result.size()), 0};
      std::string reply = std::string(header, 6) + std::string(reinterpret_cast<const char*>(reply_header), 8) + result;
      send(peer, reply.data(), reply.size(), MSG_NOSIGNAL);
    }
    if (peer >= 0) close(peer);
  });
  ScopedEnv sway("SWAYSOCK", socket_path.c_str());
  EXPECT_EQ(ChooseDesktop(nullptr), "desktop: sway\n");
  std::string stored;
  EXPECT_NE(Change(&stored).find("desktop: sway did not take the wallpaper"), std::string::npos);
  EXPECT_EQ(Copies(), std::vector<std::string>{"wallpaper-1.bmp"});

  SetFit("6", "0");
  EXPECT_EQ(Change(&stored), "wallpaper: " + state_ + "/skerrow/wallpaper-2.bmp\n");
  SetFit(nullptr, nullptr);
  compositor.join();
  close(listener);
  std::string quoted;  // the path in the compositor's command language
  for (char c : stored) quoted += c == '"' || c == '\\' ? std::string("\\") + c : std::string(1, c);
  EXPECT_EQ(command, "output * bg \"" + quoted + "\" fit");
}

TEST(SwayRepliesTest, AMalformedListOfOutputsIsAReasonWithItsPlace) {
  struct Case {
    std::string reply;
    const char* fault;
  } const cases[] = {
      {"", "not the list expected (at byte 0)"},
      {R"([{"name": "A", "active": true, "rect": {"x": 0.5}}])", "not a whole int"},
      {"[{\"name\": \"A\x01\"}]", "control character"},
      {R"([{"name": "\ud800"}])", "half a surrogate pair"},
      {R"([{"name": "HDMI-A-1", "act)", "not closed"},
      {R"([{"name": "A", "active": yes}])", "not true or false"},
      {R"([{"name": "A"}] [])", "text follows"},
      {R"([{"name": "A",}])", "a string is missing"},
      {R"([{"modes": )" + std::string(100000, '['), "nested too deeply (at byte 42)"},
  };
  for (const Case& c : cases) {
    std::vector<layer::MonitorPlace> outputs = {{"kept", 0, 0, 1, 1}};
    std::string why;
    EXPECT_FALSE(layer::ReadSwayOutputs(c.reply, &outputs, &why)) << c.reply.substr(0, 60);
    EXPECT_TRUE(why.starts_with("the compositor's list of outputs is not readable: ") &&
                why.find(c.fault) != std::string::npos)
        << why;
    EXPECT_EQ(outputs.size(), 1u);
  }
}

}  // namespace
