// Windows and classes: creation, the default close chain, showing and
// destroying, each step checked against the messages Windows would send.
#include <windows.h>

#include <gtest/gtest.h>

#include "layer_control.h"
#include "message_log_helpers.h"

using namespace platformtest;

namespace {

class WindowTest : public LayerTest {};

TEST_F(WindowTest, ClassRegistrationRefusesDuplicatesAndUnknownClasses) {
  WNDCLASSA wc{};
  wc.lpfnWndProc = DefWindowProcA;
  wc.lpszClassName = "loggedwindow";  // class names ignore case
  EXPECT_EQ(RegisterClassA(&wc), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CLASS_ALREADY_EXISTS));

  wc.lpszClassName = nullptr;
  EXPECT_EQ(RegisterClassA(&wc), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

  EXPECT_EQ(CreateWindowExA(0, "NoSuchClass", "", 0, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CANNOT_FIND_WND_CLASS));

  // A child needs a parent.
  EXPECT_EQ(CreateWindowExA(0, "EDIT", "", WS_CHILD, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_TLW_WITH_WSCHILD));

  // A class in use stays; once its windows are gone it can go.
  HWND hwnd = CreateLogged();
  EXPECT_FALSE(UnregisterClassA(kLoggedClass, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CLASS_HAS_WINDOWS));
  DestroyWindow(hwnd);
  EXPECT_TRUE(UnregisterClassA(kLoggedClass, nullptr));
  EXPECT_EQ(CreateLogged(), nullptr);
  EXPECT_FALSE(UnregisterClassA("EDIT", nullptr));  // system classes stay

  // After a reset the name is free again and a fresh atom comes back.
  LayerReset();
  wc.lpszClassName = "LoggedWindow";
  EXPECT_NE(RegisterClassA(&wc), 0);
}

TEST_F(WindowTest, CreationSendsItsMessagesInsideTheCallWithTheCreationRecord) {
  const CREATESTRUCTA* seen = nullptr;
  std::string seen_name;
  int seen_param = 0;
  SetHandler([&](HWND, UINT message, WPARAM, LPARAM lParam) -> std::optional<LRESULT> {
    if (message == WM_CREATE) {
      seen = reinterpret_cast<const CREATESTRUCTA*>(lParam);
      seen_name = seen->lpszName;
      seen_param = *static_cast<int*>(seen->lpCreateParams);
      EXPECT_EQ(seen->cx, 500);
      EXPECT_EQ(seen->cy, 120);
      EXPECT_EQ(static_cast<DWORD>(seen->style), static_cast<DWORD>(0x00CA0000));
    }
    return std::nullopt;
  });
  int param = 77;
  HWND hwnd = CreateWindowExA(0, kLoggedClass, "caption", WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, 0, 0, 500,
                              120, nullptr, nullptr, LayerProgramInstance(), &param);
  ASSERT_NE(hwnd, nullptr);
  ExpectMessages({{WM_NCCREATE, hwnd}, {WM_CREATE, hwnd}}, "create");
  EXPECT_NE(seen, nullptr);
  EXPECT_EQ(seen_name, "caption");
  EXPECT_EQ(seen_param, 77);
  EXPECT_FALSE(IsWindowVisible(hwnd));  // not created visible

  char text[32];
  EXPECT_EQ(GetWindowTextA(hwnd, text, sizeof text), 7);
  EXPECT_STREQ(text, "caption");
}

TEST_F(WindowTest, CreateRefusedByTheProcedureYieldsNoWindow) {
  SetHandler([](HWND, UINT message, WPARAM, LPARAM) -> std::optional<LRESULT> {
    if (message == WM_CREATE) return -1;
    return std::nullopt;
  });
  HWND hwnd = CreateLogged();
  EXPECT_EQ(hwnd, nullptr);
  ExpectMessages({{WM_NCCREATE}, {WM_CREATE}, {WM_DESTROY}, {WM_NCDESTROY}}, "refused create");
}

TEST_F(WindowTest, ControlsGetTheirIdFromTheMenuArgumentAndAreFoundByIt) {
  HWND main = CreateLogged();
  HWND edit = CreateWindowExA(0, "EDIT", "", WS_CHILD | WS_VISIBLE | WS_BORDER | ES_AUTOHSCROLL, 5, 35, 360, 25,
                              main, reinterpret_cast<HMENU>(300), LayerProgramInstance(), nullptr);
  HWND button = CreateWindowExA(0, "button", "Proxy", WS_CHILD | WS_VISIBLE | BS_CHECKBOX, 0, 0, 60, 25, main,
                                reinterpret_cast<HMENU>(103), LayerProgramInstance(), nullptr);
  ASSERT_NE(edit, nullptr);
  ASSERT_NE(button, nullptr);
  EXPECT_EQ(GetDlgItem(main, 300), edit);
  EXPECT_EQ(GetDlgItem(main, 103), button);
  EXPECT_EQ(GetDlgCtrlID(edit), 300);
  EXPECT_EQ(GetParent(edit), main);
  EXPECT_EQ(GetDlgItem(main, 999), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CONTROL_ID_NOT_FOUND));
  // Visible children of a hidden window are not visible yet.
  EXPECT_FALSE(IsWindowVisible(edit));
  ShowWindow(main, SW_SHOW);
  EXPECT_TRUE(IsWindowVisible(edit));
}

TEST_F(WindowTest, CloseFromTheSystemMenuTakesTheDefaultChain) {
  HWND main = CreateLogged();
  HWND child = CreateLogged(WS_CHILD, main, 5);
  ExpectMessages({{WM_NCCREATE, main}, {WM_CREATE, main}, {WM_NCCREATE, child}, {WM_CREATE, child}}, "create");

  SendMessageA(main, WM_SYSCOMMAND, SC_CLOSE, 0);
  // Parent before children on the way down, children before the parent at
  // the very end.
  ExpectMessages({{WM_SYSCOMMAND, main, SC_CLOSE},
                  {WM_CLOSE, main},
                  {WM_DESTROY, main},
                  {WM_DESTROY, child},
                  {WM_NCDESTROY, child},
                  {WM_NCDESTROY, main}},
                 "SC_CLOSE");
  EXPECT_FALSE(IsWindow(main));
  EXPECT_FALSE(IsWindow(child));
  EXPECT_FALSE(DestroyWindow(main));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
  EXPECT_EQ(SendMessageA(main, WM_CLOSE, 0, 0), 0);
  ExpectMessages({}, "messages to a destroyed window go nowhere");
}

TEST_F(WindowTest, OwnedWindowsGoBeforeTheirOwner) {
  HWND owner = CreateLogged();
  HWND owned = CreateLogged(WS_CAPTION, owner);
  Log().clear();
  EXPECT_EQ(GetParent(owned), owner);
  DestroyWindow(owner);
  ExpectMessages({{WM_DESTROY, owned}, {WM_NCDESTROY, owned}, {WM_DESTROY, owner}, {WM_NCDESTROY, owner}},
                 "owner destroyed");
}

TEST_F(WindowTest, AWindowThatHandlesCloseItselfStays) {
  HWND main = CreateLogged();
  SetHandler([](HWND, UINT message, WPARAM, LPARAM) -> std::optional<LRESULT> {
    if (message == WM_CLOSE) return 0;
    return std::nullopt;
  });
  Log().clear();
  SendMessageA(main, WM_SYSCOMMAND, SC_CLOSE, 0);
  ExpectMessages({{WM_SYSCOMMAND}, {WM_CLOSE}}, "close refused");
  EXPECT_TRUE(IsWindow(main));
}

TEST_F(WindowTest, DestroyingInsideDestroyDoesNotRepeatTheSequence) {
  HWND main = CreateLogged();
  SetHandler([](HWND hwnd, UINT message, WPARAM, LPARAM) -> std::optional<LRESULT> {
    if (message == WM_DESTROY) {
      EXPECT_TRUE(DestroyWindow(hwnd));
    }
    return std::nullopt;
  });
  Log().clear();
  EXPECT_TRUE(DestroyWindow(main));
  ExpectMessages({{WM_DESTROY}, {WM_NCDESTROY}}, "nested destroy");
}

TEST_F(WindowTest, ShowCommandsSetVisibilityAndMinimizedState) {
  HWND hwnd = CreateLogged();
  Log().clear();
  struct Step {
    int command;
    BOOL was_visible;
    bool visible;
    bool iconic;
    std::vector<Expected> messages;
  };
  const std::vector<Step> steps = {
      {SW_SHOWMINNOACTIVE, FALSE, true, true, {{WM_SHOWWINDOW, hwnd, TRUE}, {WM_SIZE, hwnd, SIZE_MINIMIZED}}},
      {SW_SHOW, TRUE, true, true, {}},
      {SW_RESTORE, TRUE, true, false, {{WM_SIZE, hwnd, SIZE_RESTORED}}},
      {SW_HIDE, TRUE, false, false, {{WM_SHOWWINDOW, hwnd, FALSE}}},
      {SW_HIDE, FALSE, false, false, {}},
      {SW_SHOWDEFAULT, FALSE, true, false, {{WM_SHOWWINDOW, hwnd, TRUE}}},
      {SW_MINIMIZE, TRUE, true, true, {{WM_SIZE, hwnd, SIZE_MINIMIZED}}},
      {SW_SHOWNORMAL, TRUE, true, false, {{WM_SIZE, hwnd, SIZE_RESTORED}}},
      {SW_SHOWMAXIMIZED, TRUE, true, false, {{WM_SIZE, hwnd, SIZE_MAXIMIZED}}},
      {SW_SHOWMINIMIZED, TRUE, true, true, {{WM_SIZE, hwnd, SIZE_MINIMIZED}}},
      {SW_HIDE, TRUE, false, true, {{WM_SHOWWINDOW, hwnd, FALSE}}},
      {SW_SHOWNA, FALSE, true, true, {{WM_SHOWWINDOW, hwnd, TRUE}}},
  };
  for (const Step& step : steps) {
    std::string name = "ShowWindow " + std::to_string(step.command);
    EXPECT_EQ(ShowWindow(hwnd, step.command), step.was_visible) << name;
    EXPECT_EQ(IsWindowVisible(hwnd) != FALSE, step.visible) << name;
    EXPECT_EQ(IsIconic(hwnd) != FALSE, step.iconic) << name;
    EXPECT_EQ(LayerShowCommand(hwnd), step.command) << name;
    ExpectMessages(step.messages, name);
  }
  EXPECT_FALSE(ShowWindow(hwnd, 12));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(LayerShowCommand(hwnd), SW_SHOWNA);
}

TEST_F(WindowTest, SystemCommandsForMinimizeAndRestoreShowTheWindow) {
  HWND hwnd = CreateLogged();
  ShowWindow(hwnd, SW_SHOW);
  DefWindowProcA(hwnd, WM_SYSCOMMAND, SC_MINIMIZE, 0);
  EXPECT_TRUE(IsIconic(hwnd));
  EXPECT_TRUE(IsWindowVisible(hwnd));
  DefWindowProcA(hwnd, WM_SYSCOMMAND, SC_RESTORE | 2, 0);  // the low bits are the system's
  EXPECT_FALSE(IsIconic(hwnd));
}

TEST_F(WindowTest, SendMessageIsReentrant) {
  HWND a = CreateLogged();
  HWND b = CreateLogged();
  SetHandler([&](HWND hwnd, UINT message, WPARAM wParam, LPARAM) -> std::optional<LRESULT> {
    if (message != WM_USER) return std::nullopt;
    if (wParam == 0) return 1;
    // Each level asks the other window for the next one and adds itself.
    return 1 + SendMessageA(hwnd == a ? b : a, WM_USER, wParam - 1, 0);
  });
  Log().clear();
  EXPECT_EQ(SendMessageA(a, WM_USER, 3, 0), 4);
  ExpectMessages({{WM_USER, a, 3}, {WM_USER, b, 2}, {WM_USER, a, 1}, {WM_USER, b, 0}}, "nested sends");
}

TEST_F(WindowTest, InvalidHandlesFailWithTheWindowError) {
  HWND bogus = reinterpret_cast<HWND>(static_cast<uintptr_t>(300));
  struct Call {
    const char* name;
    BOOL result;
  };
  const Call calls[] = {
      {"ShowWindow", ShowWindow(bogus, SW_SHOW)},
      {"UpdateWindow", UpdateWindow(bogus)},
      {"DestroyWindow", DestroyWindow(bogus)},
      {"PostMessageA", PostMessageA(bogus, WM_USER, 0, 0)},
      {"SetWindowTextA", SetWindowTextA(bogus, "x")},
      {"SetScrollRange", SetScrollRange(bogus, SB_CTL, 1, 2, FALSE)},
  };
  for (const Call& call : calls) EXPECT_EQ(call.result, FALSE) << call.name;
  SetLastError(0);
  EXPECT_EQ(SendMessageA(bogus, WM_GETTEXTLENGTH, 0, 0), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
  EXPECT_EQ(SetTimer(bogus, 1, 100, nullptr), 0u);
  EXPECT_FALSE(IsWindowVisible(bogus));
  EXPECT_FALSE(IsIconic(nullptr));
}
}  // namespace
