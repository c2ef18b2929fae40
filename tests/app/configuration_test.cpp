// skerrow.cnf as it reaches the list, the interval and the proxy fields.
#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <thread>
#include <string>
#include <vector>

#include "app_constants.h"
#include "app_globals.h"
#include "app_helpers.h"
#include "fetch_globals.h"
#include "layer_control.h"

namespace {

using ConfigurationTest = AppTest;

std::vector<std::string> Addresses() {
  std::vector<std::string> entries = ListEntries();
  entries.erase(entries.begin());  // the new-entry placeholder
  return entries;
}

struct ListCase {
  const char* name;
  std::string file;
  std::vector<std::string> expected;
};

TEST_F(ConfigurationTest, WhichLinesBecomeListEntries) {
  const std::string long_url = LongLine("http://example.test/", 1500);
  const ListCase cases[] = {
      {"the bare prefix", "http://\n", {"http://"}},
      {"every scheme in file order, duplicates kept",
       "file:///a.gif\nhttp://h/b.jpg\nhttps://h/c.jpg\nfile:///a.gif\n",
       {"file:///a.gif", "http://h/b.jpg", "https://h/c.jpg", "file:///a.gif"}},
      {"blank before the prefix, capitals, comment, unknown scheme",
       " http://h/a.gif\nHTTP://h/a.gif\nHTTPS://h/a.gif\nFILE:///a.gif\n#http://h/a.gif\nhttps:/h/a.gif\n",
       {}},
      {"trailing blanks stay", "file:///a.gif  \n", {"file:///a.gif  "}},
      {"CR LF endings are line ends", "file:///a.gif\r\nhttp://h/b.gif\r\n", {"file:///a.gif", "http://h/b.gif"}},
      {"a lone CR stays part of the line", "file:///a\rb.gif\n", {"file:///a\rb.gif"}},
      {"last line without a line feed", "file:///a.gif\nfile:///b.gif", {"file:///a.gif", "file:///b.gif"}},
      {"a 1500-byte line is cut into 1023 bytes and a rest", long_url + "\n", {long_url.substr(0, 1023)}},
      {"a rest that starts with a prefix becomes an entry too",
       LongLine("file:///", 1023) + "http://h/x.gif\n",
       {LongLine("file:///", 1023), "http://h/x.gif"}},
  };
  for (const ListCase& c : cases) {
    LayerReset();
    LayerUseFakeClock(0);
    testsupport::WriteFile(Here("skerrow.cnf"), c.file);
    ASSERT_NE(RegisterMainClass(LayerProgramInstance()), 0);
    ASSERT_EQ(InitMainWindow(LayerProgramInstance(), SW_SHOWDEFAULT), 1);
    EXPECT_EQ(Addresses(), c.expected) << c.name;
    EXPECT_EQ(IsWindowVisible(MainWindow) != 0, c.expected.empty()) << c.name;
  }
}

struct IntervalCase {
  const char* file;
  int interval;
  const char* label;
  int position;
};

TEST_F(ConfigurationTest, IntervalLinesAreReadLikeAtoiWithAFloorAndNoneAboveZeroMeansTenMinutes) {
  const IntervalCase cases[] = {
      {"get-timer:0\n", 600000, "10分毎に変更", 100},
      {"get-timer:abc\n", 600000, "10分毎に変更", 100},
      {"get-timer:\n", 600000, "10分毎に変更", 100},
      {"get-timer: 120000\n", 120000, "2分毎に変更", 20},
      {"get-timer:90000a\n", 90000, "1分毎に変更", 15},
      {"get-timer:1000\n", 1000, "0分毎に変更", 1},
      // Below a second the servers in the list would be hammered.
      {"get-timer:1\n", 1000, "0分毎に変更", 1},
      {"get-timer:999\n", 1000, "0分毎に変更", 1},
      {"get-timer:-5\n", 600000, "10分毎に変更", 100},
      {"get-timer:-99999999999999\n", 600000, "10分毎に変更", 100},
      {"get-timer:300000\nget-timer:60000\n", 60000, "1分毎に変更", 10},
      {"Get-timer:60000\n", 600000, "10分毎に変更", 100},
      // Beyond int, the value stops at the limit instead of wrapping.
      {"get-timer:99999999999999\n", INT_MAX, "35791分毎に変更", 1000},
  };
  for (const IntervalCase& c : cases) {
    LayerReset();
    IntervalMs = kDefaultIntervalMs;
    testsupport::WriteFile(Here("skerrow.cnf"), c.file);
    ASSERT_NE(RegisterMainClass(LayerProgramInstance()), 0);
    ASSERT_EQ(InitMainWindow(LayerProgramInstance(), SW_SHOWDEFAULT), 1);
    EXPECT_EQ(IntervalMs, c.interval) << c.file;
    EXPECT_EQ(ControlTextUtf8(IntervalLabel), c.label) << c.file;
    EXPECT_EQ(ScrollPosition(), c.position) << c.file;
  }
}

struct ProxyCase {
  const char* file;
  const char* host;
  const char* port;
  int mode;
};

TEST_F(ConfigurationTest, ProxyLinesSplitAtTheFirstColonAfterTheHost) {
  const ProxyCase cases[] = {
      {"proxy://cache.test:8000\n", "cache.test", "8000", 1},
      {"proxy://cache.test\n", "cache.test", "8080", 1},
      {"proxy://cache.test:\n", "cache.test", "8080", 1},
      {"proxy://cache.test:80:90\n", "cache.test", "80:90", 1},
      {"proxy://:3128\n", "3128", "8080", 1},
      {"proxy://\n", "", "", 0},
      {"proxy://:::\n", "", "", 0},
      {"proxy://one:1\nproxy://two:2\n", "two", "2", 1},
      {"proxy://one:1\nproxy://\n", "one", "1", 1},
      {"proxy://one:1\r\n", "one", "1", 1},
  };
  for (const ProxyCase& c : cases) {
    LayerReset();
    ProxyMode = 0;
    testsupport::WriteFile(Here("skerrow.cnf"), c.file);
    ASSERT_NE(RegisterMainClass(LayerProgramInstance()), 0);
    ASSERT_EQ(InitMainWindow(LayerProgramInstance(), SW_SHOWDEFAULT), 1);
    EXPECT_EQ(ControlText(ProxyHostField), c.host) << c.file;
    EXPECT_EQ(ControlText(ProxyPortField), c.port) << c.file;
    EXPECT_EQ(ProxyMode, c.mode) << c.file;
    EXPECT_EQ(ProxyChecked(), c.mode) << c.file;
  }
}

TEST_F(ConfigurationTest, TheWorkedExample) {
  Start(
      "# pictures for the desktop\n"
      "file:///pictures/sunset.jpg\n"
      "file:///pictures/harbour.gif\n"
      "\n"
      "get-timer:300000\n"
      "FILE:///pictures/old.bmp\n"
      "proxy://cache.example.test:8000\n");
  EXPECT_EQ(Addresses(), (std::vector<std::string>{"file:///pictures/sunset.jpg", "file:///pictures/harbour.gif"}));
  EXPECT_EQ(ControlTextUtf8(IntervalLabel), "5分毎に変更");
  EXPECT_EQ(ScrollPosition(), 50);
  EXPECT_EQ(ProxyChecked(), BST_CHECKED);
  EXPECT_EQ(ControlText(ProxyHostField), "cache.example.test");
  EXPECT_EQ(ControlText(ProxyPortField), "8000");
  EXPECT_FALSE(IsWindowVisible(MainWindow));
  Pump();
  EXPECT_STREQ(CurrentUrl, "file:///pictures/");
}

// The desktop's placement strings as the layer holds them, "-" for none.
std::string DesktopFitValues() {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, kDesktopKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return "-";
  std::string values;
  for (const char* name : {kWallpaperStyleValue, kTileWallpaperValue}) {
    char text[16] = "-";
    DWORD size = sizeof text;
    RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size);
    values += values.empty() ? text : std::string("/") + text;
  }
  RegCloseKey(key);
  return values;
}

TEST_F(ConfigurationTest, OnlyKnownOrderFitAndMonitorsWordsCountAndAnyOtherWordCostsALine) {
  const struct {
    const char* line;
    int shuffle;
    int fit;
    const char* desktop;  // what the desktop reads when a wallpaper is set
    const char* said;
    int each = 0;
  } cases[] = {{"order:shuffle\n", 1, kNoFit, "-", nullptr},
               {"order:list\n", 0, kNoFit, "-", nullptr},
               {"order:Shuffle\n", 0, kNoFit, "-", "is no order"},
               {"order:shuffle \n", 0, kNoFit, "-", "is no order"},
               {"order:\n", 0, kNoFit, "-", "is no order"},
               {"fit:fill\n", 0, 0, "10/0", nullptr},
               {"fit:tile\n", 0, 4, "0/1", nullptr},
               {"fit:span\n", 0, 5, "22/0", nullptr},
               // An unknown word leaves the fit a line before it gave.
               {"fit:center\nfit:zoom\n", 0, 3, "0/0", "fit:zoom is no fit"},
               {"fit:Fit\n", 0, kNoFit, "-", "is no fit"},
               {"monitors:each\n", 0, kNoFit, "-", nullptr, 1},
               {"monitors:each\nmonitors:same\n", 0, kNoFit, "-", nullptr, 0},
               {"monitors:all\n", 0, kNoFit, "-", "monitors:all is no choice", 0}};
  for (const auto& c : cases) {
    LayerReset();
    ResetApplicationGlobals();
    testsupport::StderrCapture capture;
    Start(c.line);
    EXPECT_EQ(ShuffleOrder, c.shuffle) << c.line;
    EXPECT_EQ(FitMode, c.fit) << c.line;
    EXPECT_EQ(EachMonitor, c.each) << c.line;
    EXPECT_EQ(DesktopFitValues(), c.desktop) << c.line;
    std::string said = capture.Finish();
    if (c.said == nullptr)
      EXPECT_EQ(said.find("is no"), std::string::npos) << c.line << said;
    else
      EXPECT_NE(said.find(c.said), std::string::npos) << c.line << said;
  }
}

TEST_F(ConfigurationTest, SettingsWithoutAddressesShowTheWindow) {
  Start("# nothing to show\nget-timer:60000\nproxy://cache.test\n");
  EXPECT_TRUE(IsWindowVisible(MainWindow));
  EXPECT_EQ(IntervalMs, 60000);
  EXPECT_FALSE(RotatesWithin(10 * 60000));
}

TEST_F(ConfigurationTest, ASecondIntervalOfOneSecondRotatesEverySecond) {
  Start("file:///a/x.txt\nfile:///b/x.txt\nget-timer:1000\n");
  Pump();
  EXPECT_STREQ(CurrentUrl, "file:///a/");
  EXPECT_TRUE(RotatesWithin(1000));
  EXPECT_STREQ(CurrentUrl, "file:///b/");
  EXPECT_TRUE(RotatesWithin(1000));
  EXPECT_STREQ(CurrentUrl, "file:///a/");
}

// ---------------------------------------------------------------- settings kept between runs

std::string UserFile() { return std::string(std::getenv("XDG_CONFIG_HOME")) + "/skerrow/skerrow.cnf"; }

// What a person does in the window before hiding it: one address added, the
// interval a step longer, the proxy switched.
void ChangeEverything() {
  HWND box = GetDlgItem(MainWindow, UrlBox);
  SendMessageA(box, CB_INSERTSTRING, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>("https://h/new.png"));
  SendMessageA(MainWindow, WM_HSCROLL, SB_LINERIGHT, 0);
  SendMessageA(GetDlgItem(MainWindow, ProxyHostField), WM_SETTEXT, 0, reinterpret_cast<LPARAM>("cache.test"));
  Command(ProxyToggleCommandId);
  ToggleShuffle();
  ChooseFit(MainWindow, 5);
  SteerCommand(MainWindow, EachMonitorCommandId);
}

void HideWindow() { SendMessageA(MainWindow, WM_SYSCOMMAND, SC_MINIMIZE, 0); }

struct LookupCase {
  const char* name;
  const char* here;  // skerrow.cnf in the current folder, or none
  const char* user;  // the user's skerrow.cnf, or none
  std::vector<std::string> addresses;
  const char* user_after;  // the user's file after a change, or none
};

TEST_F(ConfigurationTest, TheCurrentFolderFirstThenTheUsersFileAndOnlyThatOneIsSaved) {
  const char* here = "file:///here.gif\n# mine\n";
  const LookupCase cases[] = {
      {"both: the current folder's, never written", here, "file:///user.gif\n", {"file:///here.gif"},
       "file:///user.gif\n"},
      {"only the user's: read and saved", nullptr,
       "# kept\r\nfile:///user.gif\norder:list\r\nfit:fill\nlater:unknown\n", {"file:///user.gif"},
       "# kept\r\nfile:///user.gif\nhttps://h/new.png\norder:shuffle\r\nfit:span\nlater:unknown\nget-timer:606000\n"
       "proxy://cache.test\nmonitors:each\n"},
      {"none: the user's made at the first change", nullptr, nullptr, {},
       "https://h/new.png\nget-timer:606000\nproxy://cache.test\norder:shuffle\nfit:span\nmonitors:each\n"},
  };
  for (const LookupCase& c : cases) {
    SCOPED_TRACE(c.name);
    LayerReset();
    LayerUseFakeClock(0);
    ResetApplicationGlobals();
    std::filesystem::remove_all(Here("config"));
    std::filesystem::remove(Here("skerrow.cnf"));
    if (c.user != nullptr) {
      std::filesystem::create_directories(Here("config/skerrow"));
      testsupport::WriteFile(UserFile(), c.user);
    }
    Start(c.here);
    EXPECT_EQ(Addresses(), c.addresses);
    HideWindow();  // nothing changed yet: nothing written
    EXPECT_EQ(testsupport::FileExists(UserFile()), c.user != nullptr);
    ChangeEverything();
    HideWindow();
    if (c.here != nullptr) {
      EXPECT_EQ(testsupport::ReadFile(Here("skerrow.cnf")), c.here);
    }
    EXPECT_EQ(testsupport::ReadFile(UserFile()), c.user_after);
    EXPECT_EQ(testsupport::ListDir(Here("config/skerrow")), std::vector<std::string>{"skerrow.cnf"});
  }
}

TEST_F(ConfigurationTest, AChosenFitSetsTheShownPictureAgainInIt) {
  Start(nullptr);
  testsupport::WriteFile(Here("tiny.bmp"), testsupport::TinyBitmap());
  ASSERT_TRUE(SystemParametersInfoA(SPI_SETDESKWALLPAPER, 0, const_cast<char*>(Here("tiny.bmp").c_str()), 0));
  std::string shown = LayerWallpaperStorePath();
  ChooseFit(MainWindow, 2);
  EXPECT_EQ(DesktopFitValues(), "2/0");
  std::string again = LayerWallpaperStorePath();
  EXPECT_NE(again, shown);  // a new copy, which only a new call makes
  EXPECT_EQ(testsupport::ReadFile(again), testsupport::TinyBitmap());
}

TEST_F(ConfigurationTest, ASaveIsWholeOrNotAtAll) {
  std::filesystem::create_directories(Here("config/skerrow"));
  testsupport::WriteFile(UserFile(), "# " + std::string(100000, 'x') + "\nfile:///a.gif\n");
  Start(nullptr);
  // A reader during the saves sees a whole file, old or new, never a part.
  std::atomic<bool> saving{true};
  std::atomic<int> torn{0};
  std::thread reader([&] {
    while (saving) {
      std::string text = testsupport::ReadFile(UserFile());
      if (text.size() < 100000 || text.back() != '\n') ++torn;
    }
  });
  for (int i = 0; i < 40; ++i) {
    SendMessageA(MainWindow, WM_HSCROLL, i % 2 == 0 ? SB_LINERIGHT : SB_LINELEFT, 0);
    HideWindow();
  }
  saving = false;
  reader.join();
  EXPECT_EQ(torn, 0);

  // A file that cannot be written costs one line, with the reason, and
  // changes nothing.
  const std::string before = testsupport::ReadFile(UserFile());
  std::filesystem::create_directories(UserFile() + ".new/blocked");
  SendMessageA(MainWindow, WM_HSCROLL, SB_LINERIGHT, 0);
  testsupport::StderrCapture capture;
  HideWindow();
  std::string said = capture.Finish();
  EXPECT_EQ(testsupport::ReadFile(UserFile()), before);
  EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
  EXPECT_NE(said.find("not saved"), std::string::npos) << said;
  EXPECT_NE(said.find(": it cannot be written: Is a directory"), std::string::npos) << said;
}

}  // namespace
