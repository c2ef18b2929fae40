// The controls' state as the application drives it with requests: the combo
// box's list and edit field, text limits, check boxes and scroll bars; and
// what a person's actions, reported as a view reports them, tell the parent.
#include <windows.h>

#include <cstring>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "controls_port.h"
#include "layer_control.h"
#include "message_log_helpers.h"

using namespace platformtest;

namespace {

class ControlTest : public LayerTest {
 protected:
  void SetUp() override {
    LayerTest::SetUp();
    main_ = CreateLogged();
    ASSERT_NE(main_, nullptr);
  }
  HWND Control(const char* class_name, DWORD style, int id, const char* text = nullptr) {
    return CreateWindowExA(0, class_name, text, WS_CHILD | WS_VISIBLE | style, 0, 0, 100, 20, main_,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), LayerProgramInstance(), nullptr);
  }
  std::string Item(HWND combo, int index) {
    LRESULT length = SendMessageA(combo, CB_GETLBTEXTLEN, index, 0);
    if (length == CB_ERR) return "<CB_ERR>";
    std::string text(static_cast<size_t>(length) + 1, '\0');
    EXPECT_EQ(SendMessageA(combo, CB_GETLBTEXT, index, reinterpret_cast<LPARAM>(text.data())), length);
    text.resize(static_cast<size_t>(length));
    return text;
  }
  std::string Text(HWND control) {
    char buffer[2048];
    SendMessageA(control, WM_GETTEXT, sizeof buffer, reinterpret_cast<LPARAM>(buffer));
    return buffer;
  }
  HWND main_ = nullptr;
};

TEST_F(ControlTest, ComboBoxListKeepsOrderAndIndexes) {
  HWND combo = Control("COMBOBOX", WS_BORDER | CBS_DROPDOWN | CBS_AUTOHSCROLL, 305);
  ASSERT_NE(combo, nullptr);
  auto insert = [&](int index, const char* text) {
    return SendMessageA(combo, CB_INSERTSTRING, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(text));
  };
  EXPECT_EQ(insert(0, "(new)"), 0);
  EXPECT_EQ(insert(-1, "file:///a.gif"), 1);  // -1 appends
  EXPECT_EQ(insert(-1, "file:///b.gif"), 2);
  EXPECT_EQ(insert(1, "http://x/c.jpg"), 1);  // before the old entry 1
  EXPECT_EQ(insert(4, "file:///d.bmp"), 4);   // the count itself appends too
  EXPECT_EQ(insert(6, "too far"), CB_ERR);
  EXPECT_EQ(SendMessageA(combo, CB_GETCOUNT, 0, 0), 5);
  EXPECT_EQ(Item(combo, 0), "(new)");
  EXPECT_EQ(Item(combo, 1), "http://x/c.jpg");
  EXPECT_EQ(Item(combo, 2), "file:///a.gif");
  EXPECT_EQ(Item(combo, 4), "file:///d.bmp");
  EXPECT_EQ(Item(combo, 5), "<CB_ERR>");
  EXPECT_EQ(Item(combo, -1), "<CB_ERR>");

  // Deleting returns what is left; bad indexes change nothing.
  EXPECT_EQ(SendMessageA(combo, CB_DELETESTRING, 1, 0), 4);
  EXPECT_EQ(SendMessageA(combo, CB_DELETESTRING, 4, 0), CB_ERR);
  EXPECT_EQ(SendMessageA(combo, CB_DELETESTRING, static_cast<WPARAM>(-1), 0), CB_ERR);
  EXPECT_EQ(Item(combo, 1), "file:///a.gif");
  EXPECT_EQ(SendMessageA(combo, CB_GETCOUNT, 0, 0), 4);

  // A NULL string is an empty entry, not a crash.
  EXPECT_EQ(SendMessageA(combo, CB_INSERTSTRING, static_cast<WPARAM>(-1), 0), 4);
  EXPECT_EQ(Item(combo, 4), "");
}

TEST_F(ControlTest, ComboBoxSelectionFollowsTheListAndSetsTheEditField) {
  HWND combo = Control("COMBOBOX", CBS_DROPDOWN, 305);
  for (const char* text : {"(new)", "one", "two", "three"})
    SendMessageA(combo, CB_INSERTSTRING, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(text));
  EXPECT_EQ(SendMessageA(combo, CB_GETCURSEL, 0, 0), CB_ERR);  // nothing selected at first

  EXPECT_EQ(SendMessageA(combo, CB_SETCURSEL, 2, 0), 2);
  EXPECT_EQ(SendMessageA(combo, CB_GETCURSEL, 0, 0), 2);
  EXPECT_EQ(Text(combo), "two");

  // The user types: the field changes, the selection stays.
  SendMessageA(combo, WM_SETTEXT, 0, reinterpret_cast<LPARAM>("http://typed"));
  EXPECT_EQ(Text(combo), "http://typed");
  EXPECT_EQ(Item(combo, 2), "two");

  // Inserting before the selection moves it along; deleting it clears it.
  SendMessageA(combo, CB_INSERTSTRING, 1, reinterpret_cast<LPARAM>("inserted"));
  EXPECT_EQ(SendMessageA(combo, CB_GETCURSEL, 0, 0), 3);
  SendMessageA(combo, CB_DELETESTRING, 0, 0);
  EXPECT_EQ(SendMessageA(combo, CB_GETCURSEL, 0, 0), 2);
  SendMessageA(combo, CB_DELETESTRING, 2, 0);
  EXPECT_EQ(SendMessageA(combo, CB_GETCURSEL, 0, 0), CB_ERR);

  // Out of range clears the selection and the field, and says CB_ERR.
  SendMessageA(combo, CB_SETCURSEL, 1, 0);
  EXPECT_EQ(SendMessageA(combo, CB_SETCURSEL, 9, 0), CB_ERR);
  EXPECT_EQ(SendMessageA(combo, CB_GETCURSEL, 0, 0), CB_ERR);
  EXPECT_EQ(Text(combo), "");

  // An empty entry selected leaves the field empty.
  SendMessageA(combo, WM_SETTEXT, 0, reinterpret_cast<LPARAM>("left over"));
  LRESULT empty = SendMessageA(combo, CB_INSERTSTRING, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(""));
  EXPECT_EQ(SendMessageA(combo, CB_SETCURSEL, static_cast<WPARAM>(empty), 0), empty);
  EXPECT_EQ(Text(combo), "");
}

TEST_F(ControlTest, RequestsSendNoNotificationsToTheParent) {
  HWND combo = Control("COMBOBOX", CBS_DROPDOWN, 305);
  HWND check = Control("BUTTON", BS_CHECKBOX, 103, "Proxy");
  HWND edit = Control("EDIT", ES_AUTOHSCROLL, 300);
  Log().clear();
  SendMessageA(combo, CB_INSERTSTRING, 0, reinterpret_cast<LPARAM>("(new)"));
  SendMessageA(combo, CB_SETCURSEL, 0, 0);
  SendMessageA(combo, CB_DELETESTRING, 0, 0);
  SendMessageA(combo, WM_SETTEXT, 0, reinterpret_cast<LPARAM>("x"));
  SendMessageA(check, BM_SETCHECK, BST_CHECKED, 0);
  SendMessageA(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>("proxy.example"));
  PumpOnce();
  ExpectMessages({}, "requests made by the program");

  // A click stands for the user: the parent hears of it, and a plain check
  // box leaves its state to the parent.
  layer::person::Clicked(check);
  ExpectMessages({{WM_COMMAND, main_, MAKEWPARAM(103, BN_CLICKED)}}, "click");
  EXPECT_EQ(SendMessageA(check, BM_GETCHECK, 0, 0), BST_CHECKED);
}

TEST_F(ControlTest, GetTextCutsToTheBufferAndAlwaysEndsIt) {
  HWND edit = Control("EDIT", ES_AUTOHSCROLL, 300, "abcdefgh");
  HWND label = Control("STATIC", SS_RIGHT, 500);
  HWND combo = Control("COMBOBOX", CBS_DROPDOWN, 305);
  SendMessageA(label, WM_SETTEXT, 0, reinterpret_cast<LPARAM>("abcdefgh"));
  SendMessageA(combo, WM_SETTEXT, 0, reinterpret_cast<LPARAM>("abcdefgh"));
  for (HWND control : {edit, label, combo, main_}) {
    if (control == main_) SetWindowTextA(main_, "abcdefgh");
    char buffer[8];
    std::memset(buffer, '#', sizeof buffer);
    struct Case {
      WPARAM size;
      LRESULT copied;
      const char* text;
    };
    for (const Case& c : {Case{8, 7, "abcdefg"}, Case{9, 8, "abcdefgh"}, Case{1, 0, ""}}) {
      char big[16];
      std::memset(big, '#', sizeof big);
      EXPECT_EQ(SendMessageA(control, WM_GETTEXT, c.size, reinterpret_cast<LPARAM>(big)), c.copied);
      EXPECT_STREQ(big, c.text);
      EXPECT_EQ(big[c.size], '#') << "written past the given size";
    }
    // Size 0 writes nothing at all.
    EXPECT_EQ(SendMessageA(control, WM_GETTEXT, 0, reinterpret_cast<LPARAM>(buffer)), 0);
    EXPECT_EQ(buffer[0], '#');
    EXPECT_EQ(SendMessageA(control, WM_GETTEXTLENGTH, 0, 0), 8);
    EXPECT_EQ(SendMessageA(control, WM_GETTEXT, 4, 0), 0);  // no buffer
  }
}

TEST_F(ControlTest, EditFieldsKeepToTheirLimit) {
  HWND edit = Control("EDIT", ES_AUTOHSCROLL, 300);
  std::string long_text(40000, 'x');
  SendMessageA(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(long_text.c_str()));
  EXPECT_EQ(SendMessageA(edit, WM_GETTEXTLENGTH, 0, 0), 30000);
  SendMessageA(edit, EM_LIMITTEXT, 5, 0);
  SendMessageA(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>("1234567"));
  EXPECT_EQ(Text(edit), "12345");
  SendMessageA(edit, WM_SETTEXT, 0, 0);  // NULL empties the field
  EXPECT_EQ(Text(edit), "");
}

TEST_F(ControlTest, CheckBoxesHoldTheirStateAndPushButtonsHaveNone) {
  HWND check = Control("BUTTON", WS_BORDER | BS_CHECKBOX, 103, "Proxy");
  HWND push = Control("BUTTON", WS_BORDER | BS_PUSHBUTTON, 100, "Go");
  HWND three = Control("BUTTON", BS_3STATE, 104);
  struct Case {
    HWND button;
    WPARAM set;
    LRESULT got;
  };
  const Case cases[] = {
      {check, BST_CHECKED, BST_CHECKED},   {check, BST_UNCHECKED, BST_UNCHECKED},
      {check, BST_INDETERMINATE, BST_CHECKED},  // two-state boxes stop at checked
      {push, BST_CHECKED, BST_UNCHECKED},  {three, BST_INDETERMINATE, BST_INDETERMINATE},
  };
  for (const Case& c : cases) {
    SendMessageA(c.button, BM_SETCHECK, c.set, 0);
    EXPECT_EQ(SendMessageA(c.button, BM_GETCHECK, 0, 0), c.got) << "set " << c.set;
  }
  // Clicking a plain check box twice does not move it; an automatic one flips.
  HWND automatic = Control("BUTTON", BS_AUTOCHECKBOX, 105);
  SendMessageA(check, BM_SETCHECK, BST_UNCHECKED, 0);
  for (int i = 0; i < 2; ++i) layer::person::Clicked(check);
  layer::person::Clicked(automatic);
  EXPECT_EQ(SendMessageA(check, BM_GETCHECK, 0, 0), BST_UNCHECKED);
  EXPECT_EQ(SendMessageA(automatic, BM_GETCHECK, 0, 0), BST_CHECKED);
}

TEST_F(ControlTest, ScrollBarPositionStaysWithinItsRange) {
  HWND bar = Control("SCROLLBAR", SBS_HORZ, 400);
  EXPECT_TRUE(SetScrollRange(bar, SB_CTL, 1, 1000, FALSE));
  EXPECT_EQ(GetScrollPos(bar, SB_CTL), 1);  // the old position is pulled into the range
  struct Case {
    int set;
    int previous;
    int now;
  };
  const Case cases[] = {{100, 1, 100}, {1000, 100, 1000}, {1001, 1000, 1000}, {0, 1000, 1}, {-5, 1, 1}, {500, 1, 500}};
  for (const Case& c : cases) {
    EXPECT_EQ(SetScrollPos(bar, SB_CTL, c.set, TRUE), c.previous) << c.set;
    EXPECT_EQ(GetScrollPos(bar, SB_CTL), c.now) << c.set;
  }
  // Narrowing the range moves the thumb with it.
  EXPECT_TRUE(SetScrollRange(bar, SB_CTL, 1, 100, TRUE));
  EXPECT_EQ(GetScrollPos(bar, SB_CTL), 100);
  int low = 0, high = 0;
  EXPECT_TRUE(GetScrollRange(bar, SB_CTL, &low, &high));
  EXPECT_EQ(low, 1);
  EXPECT_EQ(high, 100);
  // The same through the control's own requests.
  EXPECT_EQ(SendMessageA(bar, SBM_SETPOS, 50, TRUE), 100);
  EXPECT_EQ(SendMessageA(bar, SBM_GETPOS, 0, 0), 50);

  // A range wider than a LONG can hold is refused; a window without bars
  // has nothing to scroll.
  EXPECT_FALSE(SetScrollRange(bar, SB_CTL, -2, INT32_MAX, FALSE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_SCROLLBAR_RANGE));
  EXPECT_EQ(SetScrollPos(main_, SB_CTL, 3, FALSE), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_SCROLLBARS));
}
TEST_F(ControlTest, PersonsActionsChangeTheControlThenTellTheParentInWindowsOrder) {
  HWND combo = Control("COMBOBOX", CBS_DROPDOWN, 305);
  HWND edit = Control("EDIT", ES_AUTOHSCROLL, 300);
  HWND bar = Control("SCROLLBAR", SBS_HORZ, 400);
  for (const char* item : {"(new)", "file:///a.bmp"})
    SendMessageA(combo, CB_INSERTSTRING, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(item));
  SendMessageA(edit, EM_LIMITTEXT, 8, 0);
  auto command = [&](int id, WORD code) { return Expected{WM_COMMAND, main_, MAKEWPARAM(id, code)}; };
  auto combo_says = [&](WORD code) { return command(305, code); };
  using namespace layer::person;
  struct Step {
    const char* what;
    std::function<void()> act;
    std::vector<Expected> heard;
    HWND shows;  // the control whose text is then checked
    std::string text;
  };
  const Step steps[] = {
      {"list opened", [&] { ListOpened(combo); }, {combo_says(CBN_DROPDOWN)}, combo, ""},
      {"picked from the list", [&] { ItemPicked(combo, 1, true); },
       {combo_says(CBN_SELCHANGE), combo_says(CBN_SELENDOK)}, combo, "file:///a.bmp"},
      {"list closed after a pick", [&] { ListClosed(combo, true); }, {combo_says(CBN_CLOSEUP)}, combo,
       "file:///a.bmp"},
      {"list closed unpicked", [&] { ListClosed(combo, false); },
       {combo_says(CBN_SELENDCANCEL), combo_says(CBN_CLOSEUP)}, combo, "file:///a.bmp"},
      {"arrow key in the closed box", [&] { ItemPicked(combo, 0, false); }, {combo_says(CBN_SELCHANGE)}, combo,
       "(new)"},
      {"typed into the box", [&] { EXPECT_TRUE(Typed(combo, "http://\xe7\x94\xbb")); },  // http://画
       {combo_says(CBN_EDITUPDATE), combo_says(CBN_EDITCHANGE)}, combo, "http://\x89\xe6"},
      {"typed into a field", [&] { EXPECT_TRUE(Typed(edit, "proxy")); },
       {command(300, EN_UPDATE), command(300, EN_CHANGE)}, edit, "proxy"},
      {"typed past the field's limit", [&] { EXPECT_FALSE(Typed(edit, "proxy.example")); }, {}, edit, "proxy"},
      {"typed what CP932 cannot hold", [&] { EXPECT_FALSE(Typed(edit, "caf\xc3\xa9")); }, {}, edit, "proxy"},
      {"scrolled", [&] { Scrolled(bar, SB_THUMBTRACK, 42); }, {Expected{WM_HSCROLL, main_, MAKEWPARAM(SB_THUMBTRACK, 42)}},
       edit, "proxy"},
  };
  Log().clear();
  for (const Step& step : steps) {
    step.act();
    ExpectMessages(step.heard, step.what);
    EXPECT_EQ(Text(step.shows), step.text) << step.what;
  }
  EXPECT_EQ(SendMessageA(combo, CB_GETCURSEL, 0, 0), 0);
  EXPECT_EQ(SendMessageA(combo, CB_GETDROPPEDSTATE, 0, 0), FALSE);

  // The parent may destroy the box while it hears the first of two
  // notifications: the second is not sent, and nothing touches the box.
  SetHandler([&](HWND, UINT message, WPARAM wParam, LPARAM) -> std::optional<LRESULT> {
    if (message == WM_COMMAND && HIWORD(wParam) == CBN_EDITUPDATE) DestroyWindow(combo);
    return std::nullopt;
  });
  EXPECT_TRUE(Typed(combo, "x"));
  ExpectMessages({combo_says(CBN_EDITUPDATE)}, "box destroyed by its parent");
  EXPECT_FALSE(IsWindow(combo));
  EXPECT_FALSE(Typed(combo, "y"));
  ListClosed(combo, false);
  ExpectMessages({}, "actions on a box that is gone");
}

}  // namespace
