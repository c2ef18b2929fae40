// Message boxes, the notification area, resources, the kernel's string copy,
// text conversion and sockets start-up.
#include <windows.h>

#include <unistd.h>

#include <cstring>
#include <set>

#include <gtest/gtest.h>

#include "layer_control.h"
#include "layer_view.h"
#include "message_log_helpers.h"
#include "test_support.h"

using namespace platformtest;

namespace {

// "%d分毎に変更" (every %d minutes) and "ホスト名が不明です。" (host name
// unknown) in CP932; the second byte of 更 is 'X'.
constexpr const char* kIntervalFormat = "%d\x95\xaa\x96\x88\x82\xc9\x95\xcf\x8d\x58";
constexpr const char* kHostUnknown = "\x83z\x83X\x83g\x96\xbc\x82\xaa\x95s\x96\xbe\x82\xc5\x82\xb7\x81\x42";

class ShellTest : public LayerTest {};

TEST_F(ShellTest, TextConversionReadsCp932AndMarksWhatIsNotCp932) {
  struct Case {
    std::string cp932;
    std::string utf8;
  };
  const Case cases[] = {
      {"plain ASCII", "plain ASCII"},
      {kIntervalFormat, "%d分毎に変更"},
      {kHostUnknown, "ホスト名が不明です。"},
      {"\x90V\x8bK", "新規"},
      {"\xb1\xdd", "ｱﾝ"},                         // half-width katakana, one byte each
      {"ab\x81", "ab\xEF\xBF\xBD"},               // a lead byte cut off at the end
      {"\xa0x", "\xEF\xBF\xBDx"},                  // no character at all
      {std::string("a\0b", 3), std::string("a\0b", 3)},  // embedded NUL kept
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(LayerCp932ToUtf8(c.cp932), c.utf8) << c.utf8;
  EXPECT_EQ(GetACP(), 932u);
}

TEST_F(ShellTest, WideTextGoesToCp932AndBackWithSizesAsWindowsCountsThem) {
  struct Case {
    std::string cp932;  // what comes back from the wide text
    std::wstring wide;
  };
  const Case cases[] = {
      {kHostUnknown, L"ホスト名が不明です。"},
      {"/home/\x95\xc7\x8e\x86/p.bmp", L"/home/壁紙/p.bmp"},
      {"a?b", L"a\u00e9b"},  // no such character in CP932: the default one
      {"", L""},
  };
  for (const Case& c : cases) {
    int wide_size = MultiByteToWideChar(CP_ACP, 0, c.cp932.c_str(), -1, nullptr, 0);
    EXPECT_EQ(wide_size, c.cp932 == "a?b" ? 4 : static_cast<int>(c.wide.size() + 1)) << c.cp932;
    std::wstring wide(c.wide.size() + 1, L'x');
    if (c.cp932 != "a?b") {
      EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, c.cp932.c_str(), -1, wide.data(), wide_size), wide_size);
      EXPECT_EQ(wide.c_str(), c.wide) << c.cp932;
    }
    BOOL lossy = TRUE;
    int size = WideCharToMultiByte(CP_ACP, 0, c.wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string text(static_cast<size_t>(size), 'x');
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, c.wide.c_str(), -1, text.data(), size, nullptr, &lossy), size);
    EXPECT_EQ(text.c_str(), c.cp932);
    EXPECT_EQ(lossy, c.cp932 == "a?b" ? TRUE : FALSE) << c.cp932;
  }
  // A buffer too small gets nothing; a bad page or no text is refused.
  wchar_t small[2];
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "abc", -1, small, 2), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(MultiByteToWideChar(65001, 0, "abc", -1, nullptr, 0), 0);
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, nullptr, -1, nullptr, 0, nullptr, nullptr), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(ShellTest, MessageBoxesPrintCaptionAndTextInUtf8AndAnswerAtOnce) {
  HWND owner = CreateLogged();
  testsupport::StderrCapture capture;
  EXPECT_EQ(MessageBoxA(owner, kHostUnknown, "3dpics", MB_OK), IDOK);
  EXPECT_EQ(MessageBoxA(owner, "connect() failed", "Error", MB_OK), IDOK);
  EXPECT_EQ(MessageBoxA(nullptr, "no caption", nullptr, MB_OK), IDOK);
  EXPECT_EQ(MessageBoxA(owner, "q", "c", MB_YESNO), IDYES);  // the default button answers
  EXPECT_EQ(MessageBoxA(owner, "q", "c", MB_YESNO | MB_DEFBUTTON2), IDNO);
  HWND gone = CreateLogged();
  DestroyWindow(gone);
  EXPECT_EQ(MessageBoxA(gone, "lost", "owner", MB_OK), 0);  // no owner, no box
  std::string printed = capture.Finish();
  EXPECT_EQ(printed,
            "3dpics: ホスト名が不明です。\n"
            "Error: connect() failed\n"
            "Error: no caption\n"
            "c: q\n"
            "c: q\n");
  const auto& boxes = LayerMessageBoxes();
  ASSERT_EQ(boxes.size(), 5u);
  EXPECT_EQ(boxes[0].owner, owner);
  EXPECT_EQ(boxes[0].text, kHostUnknown);  // kept as given
  EXPECT_EQ(boxes[0].caption, "3dpics");
  EXPECT_EQ(boxes[0].type, static_cast<UINT>(MB_OK));
  LayerClearMessageBoxes();
  EXPECT_TRUE(LayerMessageBoxes().empty());
}

TEST_F(ShellTest, TrayIconIsAddedChangedAndDeletedByOwnerAndId) {
  HWND hwnd = CreateLogged();
  HICON small_icon = LoadIconA(LayerProgramInstance(), "TESTM_ICON");
  NOTIFYICONDATAA icon{};
  icon.cbSize = NOTIFYICONDATAA_V1_SIZE;
  icon.hWnd = hwnd;
  icon.uID = 8000;
  icon.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
  icon.uCallbackMessage = 32868;
  icon.hIcon = small_icon;
  std::memset(icon.szTip, 'w', sizeof icon.szTip);  // no terminator at all

  EXPECT_FALSE(LayerTrayIconPresent());
  EXPECT_TRUE(Shell_NotifyIconA(NIM_ADD, &icon));
  EXPECT_FALSE(Shell_NotifyIconA(NIM_ADD, &icon));  // one icon per owner and id
  ASSERT_TRUE(LayerTrayIconPresent());
  NOTIFYICONDATAA shown = LayerTrayIcon();
  EXPECT_EQ(shown.hWnd, hwnd);
  EXPECT_EQ(shown.uID, 8000u);
  EXPECT_EQ(shown.uCallbackMessage, 32868u);
  EXPECT_EQ(shown.hIcon, small_icon);
  EXPECT_EQ(std::string(shown.szTip), std::string(63, 'w'));  // cut to 63 and ended

  // The user presses the left button on it: the callback arrives posted.
  Log().clear();
  EXPECT_TRUE(LayerTrayIconEvent(WM_LBUTTONDOWN));
  ExpectMessages({}, "posted, not sent");
  PumpOnce();
  ExpectMessages({{32868, hwnd, 8000}}, "tray callback");

  NOTIFYICONDATAA change{};
  change.hWnd = hwnd;
  change.uID = 8000;
  change.uFlags = NIF_TIP;
  lstrcpynA(change.szTip, "new tip", sizeof change.szTip);
  EXPECT_TRUE(Shell_NotifyIconA(NIM_MODIFY, &change));
  EXPECT_STREQ(LayerTrayIcon().szTip, "new tip");
  EXPECT_EQ(LayerTrayIcon().hIcon, small_icon);  // fields not named stay

  change.uID = 1;
  EXPECT_FALSE(Shell_NotifyIconA(NIM_DELETE, &change));
  EXPECT_TRUE(Shell_NotifyIconA(NIM_DELETE, &icon));
  EXPECT_FALSE(LayerTrayIconPresent());
  EXPECT_FALSE(Shell_NotifyIconA(NIM_DELETE, &icon));
  EXPECT_FALSE(LayerTrayIconEvent(WM_LBUTTONDOWN));
  EXPECT_FALSE(Shell_NotifyIconA(NIM_ADD, nullptr));
}

TEST_F(ShellTest, ProgramIconsHaveTheirSizesAndSixteenColours) {
  struct Case {
    const char* name;
    int size;
  };
  for (const Case& c : {Case{"TEST_ICON", 32}, Case{"TESTM_ICON", 16}, Case{"test_icon", 32}}) {
    HICON icon = LoadIconA(LayerProgramInstance(), c.name);
    ASSERT_NE(icon, nullptr) << c.name;
    LayerIconImage image;
    ASSERT_TRUE(LayerIconInfo(icon, &image));
    EXPECT_EQ(image.width, c.size);
    EXPECT_EQ(image.height, c.size);
    EXPECT_EQ(image.bits_per_pixel, 4);
    std::set<uint8_t> used;
    for (int i = 0; i < image.width * image.height; ++i) {
      ASSERT_LT(image.pixels[i], 16) << c.name;
      used.insert(image.pixels[i]);
    }
    EXPECT_GE(used.size(), 5u) << c.name << " is a picture, not a blank square";
  }
  EXPECT_NE(LoadIconA(LayerProgramInstance(), "TEST_ICON"), LoadIconA(LayerProgramInstance(), "TESTM_ICON"));
  EXPECT_EQ(LoadIconA(LayerProgramInstance(), "OTHER_ICON"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_NAME_NOT_FOUND));
  EXPECT_EQ(LoadIconA(nullptr, "TEST_ICON"), nullptr);  // not a system icon
  EXPECT_NE(LoadIconA(nullptr, IDI_APPLICATION), nullptr);
  LayerIconImage none;
  EXPECT_FALSE(LayerIconInfo(LoadIconA(nullptr, IDI_APPLICATION), &none));

  EXPECT_NE(LoadCursorA(nullptr, IDC_ARROW), nullptr);
  EXPECT_EQ(LoadCursorA(LayerProgramInstance(), IDC_ARROW), nullptr);
  EXPECT_NE(GetStockObject(WHITE_BRUSH), nullptr);
  EXPECT_NE(GetStockObject(WHITE_BRUSH), GetStockObject(BLACK_BRUSH));
  EXPECT_EQ(GetStockObject(9), nullptr);
  EXPECT_EQ(GetStockObject(20), nullptr);
}

// What a desktop would be told, written down instead of shown.
class RecordingView final : public layer::View {
 public:
  int ShowMessageBox(HWND, std::string_view caption, std::string_view text, UINT, int) override {
    boxes.push_back(std::string(caption) + "|" + std::string(text));
    return IDCANCEL;
  }
  void WallpaperChanged(std::string_view given, const std::string& stored) override {
    wallpapers.push_back(std::string(given) + "|" + stored);
  }
  void WindowChanged(HWND hwnd) override { changed.insert(hwnd); }
  void WindowDestroyed(HWND hwnd) override { destroyed.push_back(hwnd); }
  void TrayChanged() override { ++tray_changes; }
  std::vector<std::string> boxes, wallpapers;
  std::set<HWND> changed;
  std::vector<HWND> destroyed;
  int tray_changes = 0;
};

TEST_F(ShellTest, AnAttachedViewIsToldWhatAPersonWouldSee) {
  RecordingView view;
  layer::AttachView(&view);
  HWND hwnd = CreateLogged();
  testsupport::StderrCapture capture;
  EXPECT_EQ(MessageBoxA(hwnd, "\x90V\x8bK", "cap", MB_OK), IDCANCEL);  // the view answers
  ShowWindow(hwnd, SW_SHOW);
  NOTIFYICONDATAA icon{};
  icon.hWnd = hwnd;
  Shell_NotifyIconA(NIM_ADD, &icon);
  EXPECT_TRUE(SystemParametersInfoA(SPI_SETDESKWALLPAPER, 0, const_cast<char*>(""), 0));
  DestroyWindow(hwnd);
  layer::AttachView(nullptr);
  EXPECT_EQ(capture.Finish(), "");  // nothing went to the headless view
  EXPECT_EQ(view.boxes, std::vector<std::string>{"cap|\x90V\x8bK"});
  EXPECT_EQ(view.wallpapers, std::vector<std::string>{"|"});
  EXPECT_EQ(view.changed.count(hwnd), 1u);
  EXPECT_EQ(view.destroyed, std::vector<HWND>{hwnd});
  EXPECT_EQ(view.tray_changes, 1);
}

TEST_F(ShellTest, LstrcpynCutsAndEndsWithinTheGivenLength) {
  char buffer[8];
  struct Case {
    int length;
    const char* result;
  };
  for (const Case& c : {Case{8, "Windows"}, Case{5, "Wind"}, Case{1, ""}}) {
    std::memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(lstrcpynA(buffer, "Windows Skerrow", c.length), buffer);
    EXPECT_STREQ(buffer, c.result);
    if (c.length < 8) {
      EXPECT_EQ(buffer[c.length], '#');
    }
  }
  std::memset(buffer, '#', sizeof buffer);
  EXPECT_EQ(lstrcpynA(buffer, "x", 0), buffer);
  EXPECT_EQ(buffer[0], '#');
  EXPECT_EQ(lstrcpynA(nullptr, "x", 4), nullptr);
  EXPECT_EQ(lstrcpynA(buffer, nullptr, 4), nullptr);
  EXPECT_EQ(lstrlenA(nullptr), 0);
}

TEST_F(ShellTest, SocketsStartUpCountsAndCanBeMadeToFail) {
  WSADATA data;
  EXPECT_EQ(WSAStartup(MAKEWORD(1, 1), &data), 0);
  EXPECT_EQ(data.wVersion, 0x0101);
  EXPECT_EQ(data.wHighVersion, 0x0202);
  EXPECT_EQ(WSAStartup(MAKEWORD(3, 0), &data), 0);
  EXPECT_EQ(data.wVersion, 0x0202);  // the highest there is
  EXPECT_EQ(LayerWsaStartupCount(), 2);
  EXPECT_EQ(WSAStartup(MAKEWORD(0, 9), &data), WSAVERNOTSUPPORTED);
  EXPECT_EQ(WSAStartup(MAKEWORD(1, 1), nullptr), WSAEFAULT);
  EXPECT_EQ(WSACleanup(), 0);
  EXPECT_EQ(WSACleanup(), 0);
  EXPECT_EQ(WSACleanup(), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);

  LayerSetWsaStartupError(WSASYSNOTREADY);
  EXPECT_EQ(WSAStartup(MAKEWORD(1, 1), &data), WSASYSNOTREADY);
  EXPECT_EQ(LayerWsaStartupCount(), 0);
  LayerReset();
  EXPECT_EQ(WSAStartup(MAKEWORD(1, 1), &data), 0);
}

TEST_F(ShellTest, ClosesocketLeavesWhatIsNoSocketOpen) {
  int files[2];
  ASSERT_EQ(pipe(files), 0);
  EXPECT_EQ(closesocket(static_cast<SOCKET>(files[0])), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
  EXPECT_EQ(closesocket(INVALID_SOCKET), SOCKET_ERROR);
  EXPECT_EQ(write(files[1], "x", 1), 1);  // the pipe is still open
  char byte = 0;
  EXPECT_EQ(read(files[0], &byte, 1), 1);
  close(files[0]);
  close(files[1]);
}

}  // namespace
