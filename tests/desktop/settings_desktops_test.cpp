// Desktops whose wallpaper lives in their settings: GNOME, Cinnamon and MATE
// through the real dconf service, XFCE through the real xfconfd, each on a
// private session bus.
#include <gtest/gtest.h>

#include <tuple>

#include "desktop/desktop_setter.h"
#include "desktop_helpers.h"

using namespace desktoptest;
using testsupport::TempDir;

namespace {

class SettingsDesktopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // A store path a URI must encode: a blank and non-ASCII letters.
    state_ = files_ / "state home/壁紙";
    setenv("XDG_STATE_HOME", state_.c_str(), 1);
  }
  std::string Picture(int variant) { return DrawBitmap(files_ / ("p" + std::to_string(variant) + ".bmp"), 64, 36, variant); }
  std::string Setting(const std::string& schema, const std::string& key) {
    return bus_.Run({"/usr/bin/gsettings", "get", schema, key});
  }
  // file:// URI of a path as an independent encoder writes it, quoted as
  // gsettings prints strings.
  static std::string QuotedUri(const std::string& path) {
    auto result = testsupport::RunPython("import sys, pathlib\nprint(pathlib.Path(sys.argv[1]).as_uri(), end='')\n", {path});
    return "'" + result.out + "'";
  }

  TempDir files_;
  std::string state_;
  SessionBus bus_;
};

TEST_F(SettingsDesktopTest, EachChangeReachesTheSettingsOfGnomeCinnamonAndMate) {
  struct Desktop {
    const char* name;
    const char* schema;
    std::vector<const char*> keys;
    bool uri;  // a file URI rather than a plain path
  } const desktops[] = {
      {"gnome", "org.gnome.desktop.background", {"picture-uri", "picture-uri-dark"}, true},
      {"cinnamon", "org.cinnamon.desktop.background", {"picture-uri"}, true},
      {"mate", "org.mate.background", {"picture-filename"}, false},
  };
  int variant = 0;
  for (const Desktop& desktop : desktops) {
    EXPECT_EQ(ChooseDesktop(desktop.name), std::string("desktop: ") + desktop.name + "\n");
    // A user who turned the picture off gets it back; any other placement
    // is the user's choice and stays.
    bus_.Run({"/usr/bin/gsettings", "set", desktop.schema, "picture-options", "none"});
    for (const char* options : {"'zoom'", "'centered'"}) {
      std::string said;
      std::string stored = SetWallpaper(Picture(++variant), &said);
      ASSERT_FALSE(stored.empty()) << said;
      EXPECT_EQ(said.find("did not take"), std::string::npos) << said;
      for (const char* key : desktop.keys)
        EXPECT_EQ(Setting(desktop.schema, key), desktop.uri ? QuotedUri(stored) : "'" + stored + "'")
            << desktop.name << " " << key;
      EXPECT_EQ(Setting(desktop.schema, "picture-options"), options) << desktop.name;
      bus_.Run({"/usr/bin/gsettings", "set", desktop.schema, "picture-options", "centered"});
    }
    // A fit chosen in the program is the desktop's from then on.
    for (auto [style, tile, options] : {std::tuple{"22", "0", "'spanned'"}, std::tuple{"0", "1", "'wallpaper'"}}) {
      SetFit(style, tile);
      std::string said;
      ASSERT_FALSE(SetWallpaper(Picture(++variant), &said).empty()) << said;
      EXPECT_EQ(Setting(desktop.schema, "picture-options"), options) << desktop.name;
    }
    SetFit(nullptr, nullptr);
  }
}

TEST_F(SettingsDesktopTest, XfceGetsThePictureAndItsFitOnEveryMonitorAndWorkspace) {
  XServer screen;  // its one output names the monitor a fresh channel gets
  ChooseDesktop("xfce");
  const std::string created = "/backdrop/screen0/monitorscreen/workspace0/last-image";
  std::string said;
  std::string first = SetWallpaper(Picture(1), &said);
  EXPECT_EQ(said.find("did not take"), std::string::npos) << said;
  auto query = [&](const std::string& property) {
    return bus_.Run({"/usr/bin/xfconf-query", "-c", "xfce4-desktop", "-p", property});
  };
  EXPECT_EQ(query(created), first);

  std::vector<std::string> properties = {created};
  for (const char* monitor : {"monitorDP-1", "monitor0"})
    for (const char* workspace : {"workspace0", "workspace1"}) {
      properties.push_back(std::string("/backdrop/screen0/") + monitor + "/" + workspace + "/last-image");
      bus_.Run({"/usr/bin/xfconf-query", "-c", "xfce4-desktop", "-p", properties.back(), "-n", "-t", "string", "-s",
                "/old/picture.png"});
    }
  bus_.Run({"/usr/bin/xfconf-query", "-c", "xfce4-desktop", "-p", "/backdrop/screen0/monitor0/workspace0/image-style",
            "-n", "-t", "int", "-s", "5"});
  std::string second = SetWallpaper(Picture(2), &said);
  EXPECT_EQ(said.find("did not take"), std::string::npos) << said;
  for (const std::string& property : properties) EXPECT_EQ(query(property), second) << property;
  EXPECT_EQ(query("/backdrop/screen0/monitor0/workspace0/image-style"), "5");  // the user's, without a fit

  // A fit reaches the style beside every picture.
  SetFit("6", "0");
  std::string third = SetWallpaper(Picture(3), &said);
  SetFit(nullptr, nullptr);
  EXPECT_EQ(said.find("did not take"), std::string::npos) << said;
  for (const std::string& property : properties) {
    EXPECT_EQ(query(property), third) << property;
    EXPECT_EQ(query(property.substr(0, property.rfind('/')) + "/image-style"), "4") << property;
  }
}

// One picture for every monitor goes to the monitors a picture per monitor
// is given to, also where one output is split into two monitors, which the
// desktop then names apart.
TEST_F(SettingsDesktopTest, XfceGivesOnePictureToEachMonitorAPicturePerMonitorWouldName) {
  XServer screen;
  ChooseDesktop("xfce");
  size_t set = 0;
  ASSERT_TRUE(SetMonitors(screen.display(), {"0,0,640,720", "640,0,640,720"}, &set));
  std::vector<layer::MonitorPlace> monitors;
  std::string why;
  ASSERT_TRUE(layer::ListMonitors(&monitors, &why)) << why;
  ASSERT_EQ(monitors.size(), 2u);
  auto xfconf = [&](std::vector<std::string> words) {
    words.insert(words.begin(), {"/usr/bin/xfconf-query", "-c", "xfce4-desktop"});
    return bus_.Run(words);
  };
  auto property = [](const std::string& monitor, const char* workspace) {
    return "/backdrop/screen0/monitor" + monitor + "/workspace" + workspace + "/last-image";
  };
  struct Row {
    std::vector<const char*> known;       // monitors the channel has pictures for, on workspaces 0 and 1
    std::vector<const char*> workspaces;  // where each listed monitor gets the picture
  } const rows[] = {{{}, {"0"}}, {{"screen"}, {"0", "1"}}};
  int variant = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.known.size());
    xfconf({"-p", "/backdrop", "-r", "-R"});
    for (const char* monitor : row.known)
      for (const char* workspace : {"0", "1"})
        xfconf({"-p", property(monitor, workspace), "-n", "-t", "string", "-s", "/old/picture.png"});
    std::string said;
    const std::string stored = SetWallpaper(Picture(++variant), &said);
    ASSERT_FALSE(stored.empty()) << said;
    for (const layer::MonitorPlace& monitor : monitors)
      for (const char* workspace : row.workspaces)
        EXPECT_EQ(xfconf({"-p", property(monitor.name, workspace)}), stored) << monitor.name << " " << workspace;
  }
}

TEST_F(SettingsDesktopTest, XfceGivesEachMonitorItsPictureAndFitOnEveryWorkspace) {
  ChooseDesktop("xfce");
  const layer::DesktopSetter& xfce = layer::ChosenDesktop();
  ASSERT_NE(xfce.show_each, nullptr);
  auto property = [](const std::string& monitor, int workspace, const char* leaf) {
    return "/backdrop/screen0/monitor" + monitor + "/workspace" + std::to_string(workspace) + "/" + leaf;
  };
  auto query = [&](const std::string& name) {
    return bus_.Run({"/usr/bin/xfconf-query", "-c", "xfce4-desktop", "-p", name});
  };
  auto create = [&](const std::string& name, const char* type, const char* value) {
    bus_.Run({"/usr/bin/xfconf-query", "-c", "xfce4-desktop", "-p", name, "-n", "-t", type, "-s", value});
  };
  // HDMI-1 is known on two workspaces and spans; DP-2 is new; VGA-1 is
  // disconnected and keeps its picture.
  for (const char* monitor : {"HDMI-1", "VGA-1"})
    for (int workspace : {0, 1}) create(property(monitor, workspace, "last-image"), "string", "/old/picture.png");
  create(property("HDMI-1", 0, "image-style"), "int", "6");
  const std::vector<layer::MonitorPicture> pictures = {{{"HDMI-1", 0, 0, 1920, 1080}, files_ / "left.bmp"},
                                                       {{"DP-2", 1920, 0, 1080, 1920}, files_ / "right.bmp"}};
  struct Step {
    layer::WallpaperFit fit;
    const char* hdmi_style;  // the style beside each of HDMI-1's pictures
    const char* dp_style;
  } const steps[] = {
      {layer::WallpaperFit::kKeep, "5", ""},  // spanning would hide DP-2; the rest is the user's
      {layer::WallpaperFit::kTile, "2", "2"},
      {layer::WallpaperFit::kSpan, "5", "5"},  // each picture fills its own monitor
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(static_cast<int>(step.fit));
    std::string why;
    ASSERT_TRUE(xfce.show_each(pictures, step.fit, &why)) << why;
    for (int workspace : {0, 1}) {
      EXPECT_EQ(query(property("HDMI-1", workspace, "last-image")), pictures[0].path);
      EXPECT_EQ(query(property("DP-2", workspace, "last-image")), pictures[1].path);
      EXPECT_EQ(query(property("VGA-1", workspace, "last-image")), "/old/picture.png");
      EXPECT_EQ(query(property("DP-2", workspace, "image-style")), step.dp_style);
    }
    EXPECT_EQ(query(property("HDMI-1", 0, "image-style")), step.hdmi_style);
  }
}

}  // namespace
