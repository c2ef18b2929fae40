// A picture per monitor through the desktop wallpaper object: on bare X11
// one root pixmap with each RandR monitor's own picture, on GNOME one
// composite laid out over the monitors and spanned; the layout looked up
// afresh at every step.
#include <gtest/gtest.h>

#include <shobjidl.h>
#include <windows.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "desktop_helpers.h"

using namespace desktoptest;

namespace {

std::wstring Wide(const std::string& text) {
  std::wstring wide(text.size() + 1, L'\0');
  int size = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, wide.data(), static_cast<int>(wide.size()));
  wide.resize(size > 0 ? static_cast<size_t>(size - 1) : 0);
  return wide;
}

std::string Narrow(LPCWSTR wide) {
  char text[256] = {};
  WideCharToMultiByte(CP_ACP, 0, wide, -1, text, sizeof text, nullptr, nullptr);
  return text;
}

class MonitorPicturesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("XDG_STATE_HOME", (files_ / "state").c_str(), 1);
    ASSERT_FALSE(FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    ASSERT_EQ(CoCreateInstance(CLSID_DesktopWallpaper, nullptr, CLSCTX_ALL, IID_IDesktopWallpaper,
                               reinterpret_cast<void**>(&wallpaper_)),
              S_OK);
    for (int i = 0; i < 5; ++i)  // landscape, portrait, a monitor's own size, and two more
      pictures_.push_back(DrawBitmap(files_ / ("p" + std::to_string(i) + ".bmp"), i % 2 ? 300 : 500,
                                     i % 2 ? 500 : 300, i + 1));
    pictures_[2] = DrawBitmap(files_ / "p2.bmp", 640, 360, 3);
  }
  void TearDown() override {
    if (wallpaper_ != nullptr) wallpaper_->Release();
    CoUninitialize();
  }

  // One step: the pictures given (by monitor name) set through the object,
  // then the loop's next turn shows them. The monitors as the object listed
  // them go to `areas`, by name; what the step wrote to stderr is returned.
  std::string Step(const std::map<std::string, std::string>& pictures, std::map<std::string, std::string>* areas) {
    UINT count = 0;
    EXPECT_EQ(wallpaper_->GetMonitorDevicePathCount(&count), S_OK);
    areas->clear();
    for (UINT i = 0; i < count; ++i) {
      LPWSTR id = nullptr;
      EXPECT_EQ(wallpaper_->GetMonitorDevicePathAt(i, &id), S_OK);
      RECT rect{};
      EXPECT_EQ(wallpaper_->GetMonitorRECT(id, &rect), S_OK);
      std::string name = Narrow(id);
      (*areas)[name] = std::to_string(rect.left) + "," + std::to_string(rect.top) + "," +
                       std::to_string(rect.right - rect.left) + "," + std::to_string(rect.bottom - rect.top);
      if (auto picture = pictures.find(name); picture != pictures.end()) {
        EXPECT_EQ(wallpaper_->SetWallpaper(id, Wide(picture->second).c_str()), S_OK) << name;
        latest_[name] = picture->second;
      }
      CoTaskMemFree(id);
    }
    testsupport::StderrCapture capture;
    for (int turn = 0; turn < 6; ++turn) {  // past the shortest timer's period
      usleep(5000);
      MSG msg;
      while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
    }
    // A monitor that went loses its picture with it.
    std::erase_if(latest_, [&](const auto& entry) { return !areas->contains(entry.first); });
    return capture.Finish();
  }
  // Each monitor with the picture it should show.
  std::vector<PlacedPicture> Expected(const std::map<std::string, std::string>& areas) {
    std::vector<PlacedPicture> placed;
    for (const auto& [name, picture] : latest_) placed.push_back({areas.at(name), picture});
    return placed;
  }
  // The store's copies whose names start so.
  int Copies(const std::string& start) {
    int count = 0;
    DIR* folder = opendir((files_ / "state/skerrow").c_str());
    while (const dirent* entry = folder != nullptr ? readdir(folder) : nullptr)
      count += std::string(entry->d_name).starts_with(start);
    if (folder != nullptr) closedir(folder);
    return count;
  }

  testsupport::TempDir files_;
  IDesktopWallpaper* wallpaper_ = nullptr;
  std::vector<std::string> pictures_;
  std::map<std::string, std::string> latest_;  // by monitor
};

struct Fit {
  const char* expected;  // as Pillow lays it out; a span fills each monitor
  const char* style;     // the registry's strings; none: the desktop's own choice
  const char* tile;
};
constexpr Fit kFits[] = {{"fill", nullptr, nullptr}, {"fill", "10", "0"}, {"fit", "6", "0"},  {"stretch", "2", "0"},
                         {"center", "0", "0"},       {"tile", "0", "1"},   {"fill", "22", "0"}};

TEST_F(MonitorPicturesTest, OnBareX11EachMonitorShowsItsOwnPictureByEveryFit) {
  XServer server;
  EXPECT_EQ(ChooseDesktop("x11"), "desktop: x11\n");
  // Three monitors, one portrait, a strip of root beside them; then two,
  // the first of a picture's own size.
  const std::vector<std::vector<std::string>> layouts = {{"0,0,640,360", "0,360,640,360", "640,0,400,720"},
                                                         {"0,0,640,360", "640,0,500,720"}};
  size_t monitors = 0;
  for (const auto& layout : layouts) {
    ASSERT_TRUE(SetMonitors(server.display(), layout, &monitors));
    for (const Fit& fit : kFits) {
      SCOPED_TRACE(std::string(fit.expected) + (fit.style ? fit.style : "") + " on " + std::to_string(layout.size()));
      SetFit(fit.style, fit.tile);
      std::map<std::string, std::string> set, areas;
      const int chosen[] = {2, 0, 1};  // the first monitor's own size, then a portrait picture on the portrait one
      for (size_t i = 0; i < layout.size(); ++i) set["M" + std::to_string(i)] = pictures_[chosen[i]];
      std::string said = Step(set, &areas);
      EXPECT_EQ(said.find("did not take"), std::string::npos) << said;
      std::string shot = files_ / "root.png";
      ASSERT_TRUE(SaveRoot(server.display(), shot));
      auto [mean, high] = LayoutError(shot, Expected(areas), fit.expected);
      EXPECT_LT(mean, 2.0);
      EXPECT_LT(high, 12.0);
      if (layout.size() == 2 && fit.style == nullptr) {
        std::string folder = std::string(SKERROW_BUILD_DIR) + "/screenshots";
        mkdir(folder.c_str(), 0755);
        SaveRoot(server.display(), folder + "/two-monitors.png");
      }
    }
  }
  SetFit(nullptr, nullptr);
}

TEST_F(MonitorPicturesTest, EachStepTakesTheMonitorsAsTheyAreThenAndKeepsTwoCopiesAMonitor) {
  XServer server;
  EXPECT_EQ(ChooseDesktop("x11"), "desktop: x11\n");
  struct Stage {
    std::vector<std::string> layout;
    std::map<std::string, int> set;  // picture by monitor
  } const stages[] = {
      {{"0,0,640,360", "0,360,640,360", "640,0,400,720"}, {{"M0", 0}, {"M1", 1}, {"M2", 2}}},
      {{"0,0,640,360", "0,360,640,360"}, {{"M0", 3}}},                            // M2 gone, M1 keeps its own
      {{"0,0,640,360", "0,360,640,360", "640,0,400,720"}, {{"M1", 4}}},           // M2 back, black until set
      {{"0,0,640,360", "0,360,640,360", "640,0,400,720"}, {{"M1", 0}, {"M2", 1}}},
  };
  size_t monitors = 0;
  for (size_t s = 0; s < std::size(stages); ++s) {
    SCOPED_TRACE("step " + std::to_string(s));
    ASSERT_TRUE(SetMonitors(server.display(), stages[s].layout, &monitors));
    std::map<std::string, std::string> set, areas;
    for (const auto& [name, picture] : stages[s].set) set[name] = pictures_[picture];
    // One line for each monitor's new copy, naming it.
    std::string lines;
    std::string said = Step(set, &areas);
    for (const auto& [name, picture] : set) {
      LPWSTR stored = nullptr;
      ASSERT_EQ(wallpaper_->GetWallpaper(Wide(name).c_str(), &stored), S_OK);
      lines += "wallpaper: " + Narrow(stored) + "\n";
      CoTaskMemFree(stored);
    }
    EXPECT_EQ(said, lines);
    std::string shot = files_ / "root.png";
    ASSERT_TRUE(SaveRoot(server.display(), shot));
    auto [mean, high] = LayoutError(shot, Expected(areas), "fill");
    EXPECT_LT(mean, 2.0);
    EXPECT_LT(high, 12.0);
    for (const auto& [name, area] : areas) EXPECT_LE(Copies("monitor-" + name + "-"), 2) << name;
  }
  // Each monitor's stored copy holds the bitmap it was given.
  LPWSTR stored = nullptr;
  ASSERT_EQ(wallpaper_->GetWallpaper(L"M1", &stored), S_OK);
  EXPECT_EQ(testsupport::ReadFile(Narrow(stored)), testsupport::ReadFile(pictures_[0]));
  CoTaskMemFree(stored);
  EXPECT_EQ(wallpaper_->SetWallpaper(L"M9", Wide(pictures_[0]).c_str()), E_INVALIDARG);
  testsupport::WriteFile(files_ / "cut.bmp", testsupport::ReadFile(pictures_[0]).substr(0, 100));
  EXPECT_EQ(wallpaper_->SetWallpaper(L"M0", Wide(files_ / "cut.bmp").c_str()), HRESULT_FROM_WIN32(ERROR_BAD_FORMAT));
}

TEST_F(MonitorPicturesTest, GnomeGetsOneCompositeLaidOutOverTheMonitorsAndSpanned) {
  SessionBus bus;
  XServer server;  // RandR, as XWayland offers it
  EXPECT_EQ(ChooseDesktop("gnome"), "desktop: gnome\n");
  size_t monitors = 0;
  ASSERT_TRUE(SetMonitors(server.display(), {"0,0,640,360", "0,360,640,360", "640,0,400,720"}, &monitors));
  for (const Fit& fit : {kFits[0], kFits[2], kFits[4]}) {
    SCOPED_TRACE(fit.expected);
    SetFit(fit.style, fit.tile);
    std::map<std::string, std::string> areas;
    std::string said = Step({{"M0", pictures_[0]}, {"M1", pictures_[2]}, {"M2", pictures_[1]}}, &areas);
    EXPECT_EQ(said.find("did not take"), std::string::npos) << said;
    std::string uri = bus.Run({"/usr/bin/gsettings", "get", "org.gnome.desktop.background", "picture-uri"});
    ASSERT_TRUE(uri.starts_with("'file://")) << uri;
    std::string composite = uri.substr(8, uri.size() - 9);
    EXPECT_TRUE(composite.find("/spanned-") != std::string::npos) << composite;
    EXPECT_EQ(said, "wallpaper: " + composite + "\n");
    EXPECT_EQ(bus.Run({"/usr/bin/gsettings", "get", "org.gnome.desktop.background", "picture-options"}), "'spanned'");
    auto [mean, high] = LayoutError(composite, Expected(areas), fit.expected);
    EXPECT_LT(mean, 2.0);
    EXPECT_LT(high, 12.0);
    EXPECT_LE(Copies("spanned-"), 2);
  }
  SetFit(nullptr, nullptr);
}

}  // namespace
