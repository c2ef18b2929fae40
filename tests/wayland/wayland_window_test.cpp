// The window on Wayland itself, with no X server anywhere: sway shows it,
// one instance runs per Wayland display, and a second start brings the
// window back and ends.
#include <optional>

#include <gtest/gtest.h>

#include "wayland_helpers.h"

namespace waylandtest {
namespace {

constexpr char kCaption[] = "Windows Skerrow Version 0.02";

// "x y width height" of the shown window with the caption in sway's tree,
// empty while there is none.
constexpr char kFindWindow[] = R"(
import json, sys
def walk(node):
    yield node
    for child in node.get('nodes', []) + node.get('floating_nodes', []):
        yield from walk(child)
for node in walk(json.loads(sys.argv[1])):
    if node.get('name') == sys.argv[2] and node.get('visible') and node.get('pid'):
        r = node['rect']
        print(r['x'], r['y'], r['width'], r['height'], end='')
)";

// The share of the window's pixels that are plainly not the background.
constexpr char kDrawnShare[] = R"(
import sys
from PIL import Image
x, y, w, h = map(int, sys.argv[2].split())
window = Image.open(sys.argv[1]).convert('RGB').crop((x, y, x + w, y + h))
background = tuple(map(int, sys.argv[3:6]))
drawn = [p for p in window.getdata() if sum(abs(a - b) for a, b in zip(p, background)) > 24]
print(len(drawn) / (w * h))
)";

// A notification area as the Wayland desktops offer one: a
// StatusNotifierWatcher that writes down each icon registering with it.
constexpr char kWatcher[] = R"(
import dbus, dbus.service, dbus.mainloop.glib
from gi.repository import GLib
dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
WATCHER = """<node><interface name="org.kde.StatusNotifierWatcher">
<method name="RegisterStatusNotifierItem"><arg name="service" type="s" direction="in"/></method>
<property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
<property name="ProtocolVersion" type="i" access="read"/>
<property name="RegisteredStatusNotifierItems" type="as" access="read"/>
</interface></node>"""
class Watcher(dbus.service.Object):
    # Qt reads the properties through an interface built from this.
    @dbus.service.method('org.freedesktop.DBus.Introspectable', in_signature='', out_signature='s')
    def Introspect(self):
        return WATCHER
    @dbus.service.method('org.kde.StatusNotifierWatcher', in_signature='s', out_signature='')
    def RegisterStatusNotifierItem(self, service):
        print('registered', service, flush=True)
    @dbus.service.method('org.freedesktop.DBus.Properties', in_signature='ss', out_signature='v')
    def Get(self, interface, name):
        return self.GetAll(interface)[name]
    @dbus.service.method('org.freedesktop.DBus.Properties', in_signature='s', out_signature='a{sv}')
    def GetAll(self, interface):
        return {'IsStatusNotifierHostRegistered': True, 'ProtocolVersion': 0,
                'RegisteredStatusNotifierItems': dbus.Array([], signature='s')}
bus = dbus.SessionBus()
name = dbus.service.BusName('org.kde.StatusNotifierWatcher', bus)
Watcher(bus, '/StatusNotifierWatcher')
print('ready', flush=True)
GLib.MainLoop().run()
)";

std::string WindowRect(const Sway& sway) {
  return testsupport::RunPython(kFindWindow, {sway.Tree(), kCaption}).out;
}

TEST(WaylandWindowTest, ShownNativelyOneInstancePerDisplayAndASecondStartHandsOver) {
  if (!Sway::Installed()) GTEST_SKIP() << "sway, swaybg or grim is not installed";
  Sway sway;
  ASSERT_EQ(sway.failure(), "");
  // sway draws the title bars. Without the last entry Qt loads Mesa's EGL
  // only to ask whether it could draw its own, and Mesa's driver, unloaded
  // at exit, leaves a buffer the leak checker can no longer place.
  const std::vector<std::string> env = {"WAYLAND_DISPLAY=" + sway.wayland_display(), "QT_QPA_PLATFORM=wayland",
                                        "SKERROW_DESKTOP=none", "XDG_STATE_HOME=" + sway.home() + "/state",
                                        "QT_WAYLAND_DISABLE_WINDOWDECORATION=1"};
  const std::string socket = sway.runtime() + "/skerrow-" + sway.wayland_display() + ".socket";
  const std::string log = sway.home() + "/program.log";
  const std::string close = "[title=\"" + std::string(kCaption) + "\"] kill";
  std::string rect;

  {
    // A session bus with a tray host on it, for the icon.
    // Each says on a line of its own when it is ready.
    const std::string bus = "unix:path=" + sway.runtime() + "/bus", watcher_log = sway.home() + "/watcher.log";
    Child daemon =
        sway.Start({"/usr/bin/dbus-daemon", "--session", "--nofork", "--address=" + bus, "--print-address=3"}, {},
                   {.stderr_file = sway.home() + "/bus.log", .line_fd = 3});
    ASSERT_TRUE(daemon.NextLine(10000)) << testsupport::ReadFile(sway.home() + "/bus.log");
    Child watcher = sway.Start({SKERROW_PYTHON, "-c", kWatcher}, {"DBUS_SESSION_BUS_ADDRESS=" + bus},
                               {.stderr_file = watcher_log, .line_fd = 1});
    ASSERT_EQ(watcher.NextLine(10000), "ready") << testsupport::ReadFile(watcher_log);

    // Without a configuration the window shows at start.
    std::vector<std::string> with_bus = env;
    with_bus.push_back("DBUS_SESSION_BUS_ADDRESS=" + bus);
    Child first = sway.Start({sway.program()}, with_bus, {.stderr_file = log});
    ASSERT_TRUE(WaitFor([&] { return !(rect = WindowRect(sway)).empty(); })) << testsupport::ReadFile(log);
    EXPECT_TRUE(testsupport::FileExists(socket)) << "no instance socket named by the Wayland display";
    std::string shot = sway.Screenshot("window.png");
    ASSERT_FALSE(shot.empty());
    std::vector<std::string> args = {shot, rect};
    for (unsigned char channel : Sway::kBackground) args.push_back(std::to_string(channel));
    EXPECT_GT(std::stod(testsupport::RunPython(kDrawnShare, args).out), 0.9) << "the window at " << rect << " is empty";
    testsupport::WriteFile(SKERROW_BUILD_DIR "/wayland-window.png", testsupport::ReadFile(shot));
    std::optional<std::string> registered = watcher.NextLine(10000);
    EXPECT_TRUE(registered && registered->starts_with("registered "))
        << "the tray icon never registered with the notification area";

    EXPECT_EQ(sway.Message({close}).exit_code, 0);
    int code = -1;
    EXPECT_TRUE(WaitFor([&] { return first.Ended(&code); }));
    EXPECT_EQ(code, 0) << testsupport::ReadFile(log);
    EXPECT_FALSE(testsupport::FileExists(socket));
  }

  // With an address the window stays hidden until a second start asks. An
  // X display beside it, as XWayland sets one, does not rename the socket.
  std::vector<std::string> beside_x = env;
  beside_x.push_back("DISPLAY=:77");
  const std::string picture = sway.home() + "/small.png";
  ASSERT_EQ(sway.Run({SKERROW_PYTHON, "-c", "import sys\nfrom PIL import Image\nImage.new('RGB', (8, 8)).save(sys.argv[1])",
                      picture})
                .exit_code,
            0);
  sway.Give(sway.home() + "/skerrow.cnf", "get-timer:3600000\nfile://" + picture + "\n");
  Child first = sway.Start({sway.program()}, beside_x, {.stderr_file = log});
  ASSERT_TRUE(WaitFor([&] { return testsupport::FileExists(socket); })) << testsupport::ReadFile(log);
  EXPECT_EQ(WindowRect(sway), "");
  testsupport::ProcessResult second = sway.Run({sway.program()}, beside_x);
  EXPECT_EQ(second.exit_code, 0) << second.err;
  EXPECT_TRUE(WaitFor([&] { return !WindowRect(sway).empty(); })) << "the running program's window did not come back";
  EXPECT_FALSE(first.Ended());
  EXPECT_EQ(sway.Message({close}).exit_code, 0);
  int code = -1;
  EXPECT_TRUE(WaitFor([&] { return first.Ended(&code); }));
  EXPECT_EQ(code, 0) << testsupport::ReadFile(log);
}

}  // namespace
}  // namespace waylandtest
