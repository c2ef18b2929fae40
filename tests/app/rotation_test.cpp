// The rotation order, editing the list through the combo box, the interval
// bar, and when ticks do nothing.
#include <algorithm>
#include <climits>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "app_constants.h"
#include "app_globals.h"
#include "app_helpers.h"
#include "fetch_globals.h"
#include "layer_control.h"
#include "picture_order.h"

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

// Whole addresses the next `count` rotations take, "" for one that takes none.
std::vector<std::string> NextShown(int count) {
  std::vector<std::string> shown;
  for (int i = 0; i < count; ++i) {
    CurrentUrl[0] = '\0';
    SendMessageA(MainWindow, WM_COMMAND, RotateCommandId, 0);
    shown.push_back(CurrentUrl[0] != '\0' ? LastShown : "");
  }
  return shown;
}

// Empty files under those names (a name ending in '/' is a folder): only
// names and order count to the rotation.
void MakeFiles(const std::string& folder, const std::vector<std::string>& names) {
  for (const std::string& name : names) {
    std::filesystem::create_directories(folder + "/" + (name.ends_with('/') ? name : ""));
    if (!name.ends_with('/')) testsupport::WriteFile(folder + "/" + name, "");
  }
}

long FolderLines(const std::string& said) {
  long lines = 0;
  for (std::size_t at = 0; (at = said.find("skerrow: the folder", at)) != std::string::npos; ++at) ++lines;
  return lines;
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

TEST(NaturalOrderTest, NumbersInsideNamesCompareAsNumbersAndNoTwoNamesTie) {
  const std::vector<std::string> sorted = {
      "1.png",    "9.png",    "10.png",    "100.png",   "a.png",     "a1.png",
      "img01.png", "img1.png", "Img2.png", "img2.png", "img2a.png", "img10.png",
      "IMG11.jpg", "x99999999999999999999.png", "x100000000000000000000.png"};
  for (std::size_t i = 0; i < sorted.size(); ++i) {
    for (std::size_t j = 0; j < sorted.size(); ++j) {
      const int order = NaturalCompare(sorted[i], sorted[j]);
      EXPECT_EQ(order < 0, i < j) << sorted[i] << " against " << sorted[j];
      EXPECT_EQ(order == 0, i == j) << sorted[i] << " against " << sorted[j];
    }
  }
}

TEST_F(RotationTest, AFolderYieldsItsPicturesInNaturalOrderAsTheFolderIsWhenReached) {
  const std::string pics = Here("pics"), in = "file://" + pics + "/";
  MakeFiles(pics, {"img10.png", "img2.PNG", "b.webp", ".hidden.gif", "notes.txt", "sub.jpg/"});
  MakeFiles(Here("empty"), {"sub/"});
  Start(("file://" + pics + "\nfile:///one/x.txt\nfile://" + Here("empty") + "\nfile://" + Here("gone") + "/\n").c_str(),
        SW_SHOWNORMAL);
  testsupport::StderrCapture capture;
  EXPECT_EQ(NextShown(2), (std::vector<std::string>{in + "b.webp", in + "img2.PNG"}));
  EXPECT_EQ(std::string(CurrentUrl), in);  // went the way of one local picture
  EXPECT_EQ(ListEntries().size(), 5u);
  MakeFiles(pics, {"img3.gif", "a-too-late.bmp"});
  std::filesystem::remove(pics + "/img10.png");
  // A folder whose pictures ran out moves on; the empty and the missing
  // folder cost a line each within the same step.
  EXPECT_EQ(NextShown(3), (std::vector<std::string>{in + "img3.gif", "file:///one/x.txt", in + "a-too-late.bmp"}));
  EXPECT_EQ(FolderLines(capture.Finish()), 2);
  EXPECT_EQ(NextShown(1), std::vector<std::string>{in + "b.webp"});
  EXPECT_EQ(AddressBeforeCurrent(MainWindow), in + "a-too-late.bmp");
  EXPECT_EQ(NextShown(2), (std::vector<std::string>{in + "img2.PNG", in + "img3.gif"}));
  EXPECT_EQ(AddressBeforeCurrent(MainWindow), in + "img2.PNG");

  // Alone in the list, a folder starts over; a list of folders without
  // pictures takes nothing, once over the list per step.
  for (int i = 0; i < 3; ++i) SendMessageA(Box(), CB_DELETESTRING, 2, 0);
  EXPECT_EQ(NextShown(2), (std::vector<std::string>{in + "a-too-late.bmp", in + "b.webp"}));
  SendMessageA(Box(), CB_DELETESTRING, 1, 0);
  for (const std::string& folder : {Here("empty"), Here("gone/")}) {
    SendMessageA(Box(), CB_INSERTSTRING, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(("file://" + folder).c_str()));
  }
  testsupport::StderrCapture again;
  EXPECT_EQ(NextShown(1), std::vector<std::string>{""});
  EXPECT_EQ(FolderLines(again.Finish()), 2);
}

TEST_F(RotationTest, ShuffledRoundsShowEachPictureOnceAndNeverOneTwiceAtTheSeam) {
  const std::string pics = Here("pics"), in = "file://" + pics + "/";
  MakeFiles(pics, {"a.png", "b.gif", "c.jpg", "d.bmp", "e.webp"});
  Start(("order:shuffle\nfile://" + pics + "/\nfile:///one/x.txt\nfile:///two/x.txt\n").c_str(), SW_SHOWNORMAL);
  SeedShuffle(20240611);
  const std::vector<std::string> draws = NextShown(1000);
  const std::set<std::string> every = {in + "a.png", in + "b.gif", in + "c.jpg", in + "d.bmp", in + "e.webp",
                                       "file:///one/x.txt", "file:///two/x.txt"};
  std::set<std::vector<std::string>> orders;
  for (std::size_t round = 0; round + every.size() <= draws.size(); round += every.size()) {
    std::vector<std::string> order(draws.begin() + static_cast<long>(round),
                                   draws.begin() + static_cast<long>(round + every.size()));
    EXPECT_EQ(std::set<std::string>(order.begin(), order.end()), every) << "round at " << round;
    orders.insert(order);
  }
  EXPECT_GT(orders.size(), 100u);
  EXPECT_EQ(std::adjacent_find(draws.begin(), draws.end()), draws.end());
  EXPECT_EQ(AddressBeforeCurrent(MainWindow), draws[998]);

  // Pictures gone mid-round are passed over; the rest alternate.
  for (const char* name : {"a.png", "b.gif", "c.jpg", "d.bmp", "e.webp"}) std::filesystem::remove(pics + "/" + name);
  const std::vector<std::string> after = NextShown(6);
  EXPECT_EQ(std::adjacent_find(after.begin(), after.end()), after.end());
  for (const std::string& address : after) EXPECT_TRUE(address.starts_with("file:///one/") || address.starts_with("file:///two/")) << address;
}

}  // namespace
