// Start-up, hiding to the tray and back, and the end of the program.
#include <sys/stat.h>

#include <cstring>
#include <filesystem>

#include "app_constants.h"
#include "app_globals.h"
#include "app_helpers.h"
#include "fetch_globals.h"
#include "layer_control.h"

namespace {

using StartupTest = AppTest;

constexpr char kOneLocalEntry[] = "file:///pictures/one.txt\n";

TEST_F(StartupTest, WithoutConfigurationTheWindowShowsDefaultsAndNothingRotates) {
  Start(nullptr);
  EXPECT_TRUE(IsWindowVisible(MainWindow));
  EXPECT_EQ(LayerShowCommand(MainWindow), SW_SHOWDEFAULT);
  ASSERT_EQ(ListEntries().size(), 1u);
  EXPECT_EQ(LayerCp932ToUtf8(ListEntries()[0]), "(新規)");
  EXPECT_EQ(ControlTextUtf8(IntervalLabel), "10分毎に変更");
  EXPECT_EQ(ScrollPosition(), 100);
  EXPECT_EQ(ProxyChecked(), BST_UNCHECKED);
  EXPECT_EQ(ControlTextUtf8(GoButton), "接続");
  EXPECT_EQ(ControlText(ProxyCheck), "Proxy");
  EXPECT_EQ(MessageBoxCount(), 0);

  // Hidden without the minimize command, a list entry still never rotates:
  // no timer was started.
  SendMessageA(GetDlgItem(MainWindow, UrlBox), CB_INSERTSTRING, static_cast<WPARAM>(-1),
               reinterpret_cast<LPARAM>("file:///pictures/one.txt"));
  ShowWindow(MainWindow, SW_HIDE);
  EXPECT_FALSE(RotatesWithin(3 * kDefaultIntervalMs));
}

TEST_F(StartupTest, ClassWindowAndTrayIconAreMadeAsDescribed) {
  Start(nullptr);
  char caption[64];
  ASSERT_GT(SendMessageA(MainWindow, WM_GETTEXT, sizeof caption, reinterpret_cast<LPARAM>(caption)), 0);
  EXPECT_STREQ(caption, "Windows Skerrow Version 0.02");
  for (int id : {ProxyHostField, ProxyPortField, UrlBox, GoButton, ProxyCheck, IntervalBar, IntervalLabel}) {
    EXPECT_NE(GetDlgItem(MainWindow, id), nullptr) << "control " << id;
  }

  ASSERT_TRUE(LayerTrayIconPresent());
  NOTIFYICONDATAA icon = LayerTrayIcon();
  EXPECT_EQ(icon.cbSize, NOTIFYICONDATAA_V1_SIZE);  // 88 where pointers are 32 bits
  EXPECT_EQ(icon.hWnd, MainWindow);
  EXPECT_EQ(icon.uID, 8000u);
  EXPECT_EQ(icon.uFlags, 7u);
  EXPECT_EQ(icon.uCallbackMessage, 32868u);
  EXPECT_STREQ(icon.szTip, "Windows Skerrow Version 0.02");
  LayerIconImage tray_image;
  ASSERT_TRUE(LayerIconInfo(icon.hIcon, &tray_image));
  EXPECT_EQ(tray_image.width, 16);
  EXPECT_EQ(tray_image.bits_per_pixel, 4);
  EXPECT_EQ(LayerWsaStartupCount(), 1);
}

TEST_F(StartupTest, ListedAddressesStartHiddenAndFetchTheFirstAtOnce) {
  Start("file:///first/a.txt\nfile:///second/b.txt\n", SW_SHOWNORMAL);
  EXPECT_FALSE(IsWindowVisible(MainWindow));
  EXPECT_EQ(LayerShowCommand(MainWindow), SW_HIDE);
  EXPECT_STREQ(CurrentUrl, "");  // posted, so it waits for the loop

  Pump();
  EXPECT_STREQ(CurrentUrl, "file:///first/");
  EXPECT_FALSE(RotatesWithin(kDefaultIntervalMs - 1));
  EXPECT_TRUE(RotatesWithin(1));
  EXPECT_STREQ(CurrentUrl, "file:///second/");

  // Back from the tray: shown, and the timer is gone.
  ASSERT_TRUE(LayerTrayIconEvent(WM_LBUTTONDOWN));
  Pump();
  EXPECT_TRUE(IsWindowVisible(MainWindow));
  EXPECT_EQ(LayerShowCommand(MainWindow), SW_RESTORE);
  ShowWindow(MainWindow, SW_HIDE);
  EXPECT_FALSE(RotatesWithin(3 * kDefaultIntervalMs));
}

TEST_F(StartupTest, OnlyALeftPressOnOurIconComesBackFromTheTray) {
  Start(kOneLocalEntry);
  Pump();
  ASSERT_TRUE(LayerTrayIconEvent(WM_RBUTTONDOWN));
  Pump();
  SendMessageA(MainWindow, TrayMessage, TrayIconId + 1, WM_LBUTTONDOWN);
  SendMessageA(MainWindow, TrayMessage, TrayIconId, WM_LBUTTONUP);
  EXPECT_FALSE(IsWindowVisible(MainWindow));
  EXPECT_TRUE(RotatesWithin(kDefaultIntervalMs));
}

TEST_F(StartupTest, StartedHiddenWithoutAddressesTicksWithoutEffect) {
  Start(nullptr, SW_HIDE);
  EXPECT_FALSE(IsWindowVisible(MainWindow));
  for (int i = 0; i < 3; ++i) EXPECT_FALSE(RotatesWithin(kDefaultIntervalMs));
  // The timer runs all along: an address added now is fetched at the next tick.
  SendMessageA(GetDlgItem(MainWindow, UrlBox), CB_INSERTSTRING, static_cast<WPARAM>(-1),
               reinterpret_cast<LPARAM>("file:///late/a.txt"));
  EXPECT_TRUE(RotatesWithin(kDefaultIntervalMs));
}

TEST_F(StartupTest, StartedMinimizedStaysOnTheTaskBarUntilRestored) {
  Start(nullptr, SW_SHOWMINNOACTIVE);
  EXPECT_EQ(LayerShowCommand(MainWindow), SW_SHOWMINNOACTIVE);
  EXPECT_TRUE(IsWindowVisible(MainWindow));
  SendMessageA(MainWindow, WM_SYSCOMMAND, SC_RESTORE, 0);
  EXPECT_EQ(LayerShowCommand(MainWindow), SW_RESTORE);
  EXPECT_TRUE(IsWindowVisible(MainWindow));
}

TEST_F(StartupTest, MinimizeHidesToTheTrayWithTheIntervalInForceNow) {
  Start(nullptr);
  SendMessageA(GetDlgItem(MainWindow, UrlBox), CB_INSERTSTRING, static_cast<WPARAM>(-1),
               reinterpret_cast<LPARAM>("file:///pictures/a.txt"));
  SendMessageA(MainWindow, WM_HSCROLL, MAKEWPARAM(SB_THUMBPOSITION, 10), 0);  // one minute
  SendMessageA(MainWindow, WM_SYSCOMMAND, SC_MINIMIZE, 0);
  EXPECT_FALSE(IsWindowVisible(MainWindow));
  EXPECT_EQ(LayerShowCommand(MainWindow), SW_HIDE);
  EXPECT_FALSE(RotatesWithin(59999));
  EXPECT_TRUE(RotatesWithin(1));
}

TEST_F(StartupTest, ClosingRemovesTheIconStopsSocketsAndQuitsWithZero) {
  Start(nullptr);
  SendMessageA(MainWindow, WM_SYSCOMMAND, SC_CLOSE, 0);
  WPARAM code = 99;
  EXPECT_TRUE(Pump(&code));
  EXPECT_EQ(code, 0u);
  EXPECT_FALSE(LayerTrayIconPresent());
  EXPECT_EQ(LayerWsaStartupCount(), 0);
}

TEST_F(StartupTest, ATerminationRequestClosesTheSameWay) {
  Start(kOneLocalEntry);
  LayerRequestClose();
  WPARAM code = 99;
  EXPECT_TRUE(Pump(&code));
  EXPECT_EQ(code, 0u);
  EXPECT_FALSE(LayerTrayIconPresent());
}

TEST_F(StartupTest, AFailedSocketsStartIsReportedOnceAndTheProgramRunsOn) {
  LayerSetWsaStartupError(10091);
  Start(nullptr);
  ASSERT_EQ(MessageBoxCount(), 1);
  const LayerMessageBox& box = LayerMessageBoxes()[0];
  EXPECT_EQ(box.text, "10091 is the err");
  EXPECT_EQ(box.caption, "Error");
  EXPECT_EQ(box.type, static_cast<UINT>(MB_OK));
  EXPECT_TRUE(IsWindowVisible(MainWindow));
  LayerSetWsaStartupError(0);
}

struct TempCase {
  const char* name;
  const char* temp;     // TEMP's value, null when not set
  const char* runtime;  // XDG_RUNTIME_DIR's value, null when not set
  const char* parent;   // where the private folder is made
};

// Every value of TEMP gives a folder of the program's own; one that names no
// usable folder falls back to the session's runtime folder, then to /tmp.
TEST_F(StartupTest, WorkDirIsAPrivateFolderWhateverTempHolds) {
  const std::string longest = "temp/" + std::string(100, 'd');
  std::filesystem::create_directories(Here(longest));
  std::filesystem::create_directories(Here("run"));
  testsupport::WriteFile(Here("temp/file"), "");
  std::filesystem::create_symlink(Here("temp"), Here("link"));
  const std::string long_path = Here(longest);
  const std::string temp = Here("temp"), run = Here("run"), link = Here("link"), file = Here("temp/file");
  const std::string slashes = temp + "//";
  const TempCase cases[] = {
      {"plain folder", temp.c_str(), run.c_str(), temp.c_str()},
      {"trailing separators", slashes.c_str(), run.c_str(), temp.c_str()},
      {"a link to a folder", link.c_str(), run.c_str(), link.c_str()},
      {"empty", "", run.c_str(), run.c_str()},
      {"not set", nullptr, run.c_str(), run.c_str()},
      {"relative", "temp", run.c_str(), run.c_str()},
      {"a file", file.c_str(), run.c_str(), run.c_str()},
      {"too long for WorkDir", long_path.c_str(), run.c_str(), run.c_str()},
      {"nothing set", nullptr, nullptr, "/tmp"},
  };
  for (const TempCase& c : cases) {
    SCOPED_TRACE(c.name);
    if (WorkDir[0] != '\0') std::filesystem::remove_all(WorkDir);  // made again at the next use
    c.temp != nullptr ? setenv("TEMP", c.temp, 1) : unsetenv("TEMP");
    c.runtime != nullptr ? setenv("XDG_RUNTIME_DIR", c.runtime, 1) : unsetenv("XDG_RUNTIME_DIR");
    ASSERT_TRUE(SetWorkDirFromTemp());
    std::string work = WorkDir;
    EXPECT_EQ(work.rfind(std::string(c.parent) + "/skerrow-", 0), 0u) << work;
    EXPECT_EQ(work.back(), '/');
    struct stat info{};
    ASSERT_EQ(lstat(work.c_str(), &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    // The same folder for the whole run.
    ASSERT_TRUE(SetWorkDirFromTemp());
    EXPECT_EQ(std::string(WorkDir), work);
  }
  std::filesystem::remove_all(WorkDir);
  unsetenv("XDG_RUNTIME_DIR");
}

}  // namespace
