// The rotation order, editing the list through the combo box, the interval
// bar, and when ticks do nothing.
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "app_constants.h"
#include "app_globals.h"
#include "app_helpers.h"
#include "fetch_globals.h"
#include "layer_control.h"

namespace {

using RotationTest = AppTest;

constexpr char kThreeEntries[] = "file:///one/x.txt\nfile:///two/x.txt\nfile:///three/x.txt\n";

HWND Box() { return GetDlgItem(MainWindow, UrlBox); }

void Select(int index) { SendMessageA(Box(), CB_SETCURSEL, static_cast<WPARAM>(index), 0); }

void SetEditText(const char* text) { SendMessageA(Box(), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text)); }

void Notify(int code) { Command(UrlBox, code); }

// The folder part of each address the next `count` rotations fetch.
std::vector<std::string> NextFetches(int count) {
  std::vector<std::string> fetched;
  for (int i = 0; i < count; ++i) {
    CurrentUrl[0] = '\0';
    SendMessageA(MainWindow, WM_COMMAND, RotateCommandId, 0);
    fetched.push_back(CurrentUrl);
  }
  return fetched;
}

std::vector<std::string> Addresses() {
  std::vector<std::string> entries = ListEntries();
  entries.erase(entries.begin());
  return entries;
}

TEST_F(RotationTest, FetchOrderIsCyclicFromTheFirstEntry) {
  Start(kThreeEntries, SW_SHOWNORMAL);
  EXPECT_EQ(NextFetches(4), (std::vector<std::string>{"file:///one/", "file:///two/", "file:///three/", "file:///one/"}));
}

TEST_F(RotationTest, ASingleEntryIsFetchedEveryTime) {
  Start("file:///only/x.txt\n");
  Pump();
  EXPECT_EQ(NextFetches(2), (std::vector<std::string>{"file:///only/", "file:///only/"}));
}

TEST_F(RotationTest, AnEmptyListDoesNothingAndKeepsTheTimer) {
  Start(nullptr);
  SendMessageA(MainWindow, WM_SYSCOMMAND, SC_MINIMIZE, 0);
  EXPECT_EQ(NextFetches(1), std::vector<std::string>{""});
  EXPECT_FALSE(RotatesWithin(kDefaultIntervalMs));
  SendMessageA(Box(), CB_INSERTSTRING, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>("file:///new/x.txt"));
  EXPECT_TRUE(RotatesWithin(kDefaultIntervalMs));
}

TEST_F(RotationTest, ASelectionDecidesWhereTheRotationGoesOn) {
  struct Case {
    int selected;
    std::vector<std::string> expected;
  } const cases[] = {
      {2, {"file:///two/", "file:///three/", "file:///one/"}},
      {0, {"file:///three/", "file:///one/", "file:///two/"}},
      {-1, {"file:///three/", "file:///one/"}},
  };
  for (const Case& c : cases) {
    LayerReset();
    RotationIndex = 1;
    testsupport::WriteFile(Here("skerrow.cnf"), kThreeEntries);
    ASSERT_NE(RegisterMainClass(LayerProgramInstance()), 0);
    ASSERT_EQ(InitMainWindow(LayerProgramInstance(), SW_SHOWNORMAL), 1);
    Select(c.selected);
    Notify(CBN_SELCHANGE);
    EXPECT_EQ(NextFetches(static_cast<int>(c.expected.size())), c.expected) << "selected " << c.selected;
  }
}

TEST_F(RotationTest, ASelectionPurgesEntriesThatAreNoAddresses) {
  Start(kThreeEntries, SW_SHOWNORMAL);
  SendMessageA(Box(), CB_INSERTSTRING, 2, reinterpret_cast<LPARAM>(""));
  SendMessageA(Box(), CB_INSERTSTRING, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>("ftp://x/y.gif"));
  Select(1);
  Notify(CBN_SELCHANGE);
  EXPECT_EQ(Addresses(), (std::vector<std::string>{"file:///one/x.txt", "file:///two/x.txt", "file:///three/x.txt"}));
  EXPECT_EQ(LayerCp932ToUtf8(ListEntries()[0]), "(新規)");
}

TEST_F(RotationTest, ANewEntryIsOpenedFollowsTheEditFieldAndMovesWhenItStopsBeingAnAddress) {
  Start("file:///one/x.txt\nfile:///two/x.txt\n", SW_SHOWNORMAL);
  Select(0);
  Notify(CBN_SELENDOK);
  EXPECT_EQ(EditSlot, 3);
  EXPECT_EQ(Addresses(), (std::vector<std::string>{"file:///one/x.txt", "file:///two/x.txt", ""}));
  EXPECT_EQ(SendMessageA(Box(), CB_GETCURSEL, 0, 0), 3);
  EXPECT_EQ(ControlText(UrlBox), "");

  SetEditText("h");
  Notify(CBN_EDITUPDATE);
  EXPECT_EQ(EditSlot, -1);
  EXPECT_EQ(Addresses(), (std::vector<std::string>{"file:///one/x.txt", "file:///two/x.txt"}));

  SetEditText("http://");
  Notify(CBN_EDITUPDATE);
  EXPECT_EQ(EditSlot, 3);
  SetEditText("http://h/p.gif");
  Notify(CBN_EDITUPDATE);
  EXPECT_EQ(Addresses(), (std::vector<std::string>{"file:///one/x.txt", "file:///two/x.txt", "http://h/p.gif"}));
  SetEditText("https://h/p.gif");
  Notify(CBN_EDITUPDATE);
  EXPECT_EQ(Addresses(), (std::vector<std::string>{"file:///one/x.txt", "file:///two/x.txt", "https://h/p.gif"}));
}

TEST_F(RotationTest, AChosenEntryFollowsTheEditFieldUntilClearedOrNoAddress) {
  for (const char* ending : {"", "ttp://nothing"}) {
    LayerReset();
    EditSlot = -1;
    SelectionChanged = 0;
    testsupport::WriteFile(Here("skerrow.cnf"), kThreeEntries);
    ASSERT_NE(RegisterMainClass(LayerProgramInstance()), 0);
    ASSERT_EQ(InitMainWindow(LayerProgramInstance(), SW_SHOWNORMAL), 1);
    Select(1);
    Notify(CBN_SELENDOK);
    EXPECT_EQ(EditSlot, 1);
    SetEditText("file:///changed/x.txt");
    Notify(CBN_EDITUPDATE);
    EXPECT_EQ(Addresses(), (std::vector<std::string>{"file:///changed/x.txt", "file:///two/x.txt", "file:///three/x.txt"}));
    SetEditText(ending);
    Notify(CBN_EDITUPDATE);
    EXPECT_EQ(EditSlot, -1) << '"' << ending << '"';
    EXPECT_EQ(Addresses(), (std::vector<std::string>{"file:///two/x.txt", "file:///three/x.txt"})) << ending;
  }
}

TEST_F(RotationTest, ASelectionMutesEditUpdatesUntilAnotherNotificationClearsIt) {
  Start(kThreeEntries, SW_SHOWNORMAL);
  Select(1);
  Notify(CBN_SELCHANGE);
  EXPECT_EQ(SelectionChanged, 1);
  SetEditText("http://typed/a.gif");
  Notify(CBN_EDITUPDATE);
  EXPECT_EQ(Addresses().size(), 3u);
  EXPECT_EQ(SelectionChanged, 1);

  // The drop-down commits whatever the flag says.
  Notify(CBN_DROPDOWN);
  EXPECT_EQ(Addresses().back(), "http://typed/a.gif");
  EXPECT_EQ(EditSlot, 4);

  for (int code : {CBN_EDITCHANGE, CBN_CLOSEUP, CBN_DBLCLK, CBN_SELENDCANCEL, 77}) {
    SelectionChanged = 1;
    Notify(code);
    EXPECT_EQ(SelectionChanged, 0) << "code " << code;
  }
  SetEditText("http://typed/b.gif");
  Notify(CBN_EDITUPDATE);
  EXPECT_EQ(Addresses().back(), "http://typed/b.gif");
  EXPECT_EQ(Addresses().size(), 4u);
}

struct ScrollCase {
  const char* name;
  int start;
  int request;
  int thumb;
  int interval;
  int position;
  const char* label;
};

TEST_F(RotationTest, TheIntervalBarMovesInStepsAndStaysWithinItsBounds) {
  Start(nullptr);
  const ScrollCase cases[] = {
      {"line right at the default", 600000, SB_LINERIGHT, 0, 606000, 101, "10分毎に変更"},
      {"line left", 600000, SB_LINELEFT, 0, 594000, 99, "9分毎に変更"},
      {"page left", 600000, SB_PAGELEFT, 0, 540000, 90, "9分毎に変更"},
      {"page right at 995", 995 * 6000, SB_PAGERIGHT, 0, 6000000, 1000, "100分毎に変更"},
      {"line left at the bottom", 6000, SB_LINELEFT, 0, 6000, 1, "0分毎に変更"},
      {"thumb position", 600000, SB_THUMBPOSITION, 250, 1500000, 250, "25分毎に変更"},
      {"thumb track", 600000, SB_THUMBTRACK, 3, 18000, 3, "0分毎に変更"},
      {"thumb beyond the range", 600000, SB_THUMBTRACK, 65535, 6000000, 1000, "100分毎に変更"},
      {"end scroll clamps a configured second", 1000, SB_ENDSCROLL, 0, 6000, 1, "0分毎に変更"},
      {"left clamps a configured large value", 90000000, SB_LEFT, 0, 6000000, 1000, "100分毎に変更"},
      {"page right at the int limit", INT_MAX, SB_PAGERIGHT, 0, 6000000, 1000, "100分毎に変更"},
      {"page left at the int floor", INT_MIN, SB_PAGELEFT, 0, 6000, 1, "0分毎に変更"},
  };
  for (const ScrollCase& c : cases) {
    IntervalMs = c.start;
    SendMessageA(MainWindow, WM_HSCROLL, MAKEWPARAM(c.request, c.thumb),
                 reinterpret_cast<LPARAM>(GetDlgItem(MainWindow, IntervalBar)));
    EXPECT_EQ(IntervalMs, c.interval) << c.name;
    EXPECT_EQ(ScrollPosition(), c.position) << c.name;
    EXPECT_EQ(ControlTextUtf8(IntervalLabel), c.label) << c.name;
  }
}

TEST_F(RotationTest, TicksDoNothingWhileShownOrWhileATransferRuns) {
  Start(kThreeEntries);
  Pump();
  ShowWindow(MainWindow, SW_SHOWNORMAL);
  EXPECT_FALSE(RotatesWithin(kDefaultIntervalMs));
  ShowWindow(MainWindow, SW_HIDE);
  TransferSocket = 7;
  EXPECT_FALSE(RotatesWithin(kDefaultIntervalMs));
  TransferSocket = INVALID_SOCKET;
  // A lost tick is not made up: the next one fetches the next entry only.
  EXPECT_TRUE(RotatesWithin(kDefaultIntervalMs));
  EXPECT_STREQ(CurrentUrl, "file:///two/");
}

TEST_F(RotationTest, EntriesTooLongForTheAddressBufferArePassedOver) {
  const std::string too_long = LongLine("file:///long/", 512) + "/x.txt";
  const std::string just_fits = LongLine("file:///fits", 505) + "/x.txt";
  ASSERT_EQ(just_fits.size(), 511u);
  Start((too_long + "\nfile:///two/x.txt\n" + just_fits + "\n").c_str(), SW_SHOWNORMAL);
  std::vector<std::string> fetched = NextFetches(3);
  EXPECT_EQ(fetched[0], "file:///two/");
  // Fetched whole: its folder then proves too long for WorkDir, so it is
  // refused with a message and left as it was.
  EXPECT_EQ(fetched[1], just_fits);
  EXPECT_EQ(MessageBoxCount(), 1);
  EXPECT_EQ(fetched[2], "file:///two/");

  // A list of nothing but overlong entries fetches nothing at all.
  for (int i = 0; i < 2; ++i) SendMessageA(Box(), CB_DELETESTRING, 2, 0);
  EXPECT_EQ(NextFetches(1), std::vector<std::string>{""});
}

}  // namespace
