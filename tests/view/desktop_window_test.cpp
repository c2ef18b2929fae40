// The main window under a real X server: what a person sees, and what the
// window procedure hears when they use the mouse and the keyboard.
#include <QAbstractItemView>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QScrollBar>
#include <QStyle>
#include <QStyleOptionSlider>
#include <QScreen>
#include <QTimer>
#include <QWindow>

#include <filesystem>

#include "app_constants.h"
#include "app_globals.h"
#include "desktop_helpers.h"
#include "fetch_globals.h"
#include "layer_control.h"
#include "layer_model.h"
#include "test_support.h"

namespace desktoptest {
namespace {

Note Combo(WORD code) { return Note{WM_COMMAND, MAKEWPARAM(UrlBox, code)}; }
Note Scroll(WORD code, WORD position = 0) { return Note{WM_HSCROLL, MAKEWPARAM(code, position)}; }
Note System(WPARAM command) { return Note{WM_SYSCOMMAND, command}; }

QString Shown(const std::string& ansi) { return QString::fromStdString(LayerCp932ToUtf8(ansi)); }

QString IntervalText() {
  char text[64];
  std::snprintf(text, sizeof text, kIntervalFormat, IntervalMs / 60000);
  return Shown(text);
}

bool RotationTimerRunning() {
  for (const layer::Timer& timer : layer::Model().timers)
    if (timer.id == RotationTimer) return true;
  return false;
}

QWidget* TrayWidget() {
  for (QWidget* widget : QApplication::topLevelWidgets())
    if (std::string(widget->metaObject()->className()) == "QSystemTrayIconSys" && widget->isVisible())
      return widget;
  return nullptr;
}

// Where the style draws a part of the scroll bar, on the screen.
QPoint PartOf(QScrollBar* bar, QStyle::SubControl part) {
  QStyleOptionSlider option;
  option.initFrom(bar);
  option.subControls = QStyle::SC_All;
  option.orientation = bar->orientation();
  option.state |= QStyle::State_Horizontal;
  option.minimum = bar->minimum();
  option.maximum = bar->maximum();
  option.sliderPosition = bar->sliderPosition();
  option.sliderValue = bar->value();
  option.singleStep = bar->singleStep();
  option.pageStep = bar->pageStep();
  QRect rect = bar->style()->subControlRect(QStyle::CC_ScrollBar, &option, part, bar);
  return bar->mapToGlobal(rect.center());
}

// Opens the list with a click on the box's arrow and picks `index`.
void PickFromList(int index) {
  auto* box = qobject_cast<QComboBox*>(ControlWidget(UrlBox));
  ASSERT_NE(box, nullptr);
  ClickAt(box->mapToGlobal(QPoint(box->width() - 8, box->height() / 2)));
  ASSERT_TRUE(PumpUntil([&] { return box->view()->isVisible(); })) << "the list did not drop down";
  QAbstractItemView* list = box->view();
  QRect item = list->visualRect(list->model()->index(index, 0));
  ClickAt(list->viewport()->mapToGlobal(item.center()));
  PumpUntil([&] { return !list->isVisible(); });
}

using DesktopWindowTest = DesktopTest;

TEST_F(DesktopWindowTest, ShowsTheStartingStateAndWhatTheProgramChanges) {
  auto* label = qobject_cast<QLabel*>(ControlWidget(IntervalLabel));
  auto* bar = qobject_cast<QScrollBar*>(ControlWidget(IntervalBar));
  auto* proxy = qobject_cast<QCheckBox*>(ControlWidget(ProxyCheck));
  auto* box = qobject_cast<QComboBox*>(ControlWidget(UrlBox));
  ASSERT_TRUE(label && bar && proxy && box);
  EXPECT_EQ(label->text(), IntervalText());
  EXPECT_EQ(bar->value(), 100);
  EXPECT_FALSE(proxy->isChecked());
  EXPECT_EQ(box->count(), 1);
  EXPECT_EQ(box->itemText(0), Shown(kNewEntryText));
  EXPECT_FALSE(MainWidget()->windowIcon().isNull());
  ExpectLooksLike(Screenshot(), "window_start.png");

  // Requests of the program show at once and notify nobody.
  HWND host = GetDlgItem(MainWindow, ProxyHostField);
  SetWindowTextA(host, "proxy.example");
  SendMessageA(GetDlgItem(MainWindow, UrlBox), CB_INSERTSTRING, static_cast<WPARAM>(-1),
               reinterpret_cast<LPARAM>("http://example.com/a.jpg"));
  SendMessageA(GetDlgItem(MainWindow, UrlBox), CB_SETCURSEL, 1, 0);
  SetScrollPos(GetDlgItem(MainWindow, IntervalBar), SB_CTL, 500, TRUE);
  SetWindowTextA(GetDlgItem(MainWindow, IntervalLabel), "\x35\x30\x95\xaa\x96\x88\x82\xc9\x95\xcf\x8d\x58");  // 50分毎に変更
  SendMessageA(GetDlgItem(MainWindow, ProxyCheck), BM_SETCHECK, BST_CHECKED, 0);
  EnableWindow(GetDlgItem(MainWindow, GoButton), FALSE);
  PumpUntil([] { return false; }, 300);
  EXPECT_EQ(qobject_cast<QLineEdit*>(ControlWidget(ProxyHostField))->text(), "proxy.example");
  EXPECT_EQ(box->currentText(), "http://example.com/a.jpg");
  EXPECT_EQ(bar->value(), 500);
  EXPECT_TRUE(proxy->isChecked());
  EXPECT_FALSE(ControlWidget(GoButton)->isEnabled());
  ExpectLooksLike(Screenshot(), "window_changed.png");
  ShowWindow(MainWindow, SW_HIDE);
  EXPECT_TRUE(PumpUntil([] { return !MainWidget()->isVisible(); }));
  ExpectNotes({}, "changes made by the program");
}

TEST_F(DesktopWindowTest, TypedAddressJoinsTheList) {
  PickFromList(0);
  ExpectNotes({Combo(CBN_DROPDOWN), Combo(CBN_SELCHANGE), Combo(CBN_SELENDOK), Combo(CBN_CLOSEUP)},
              "picking the new-entry line");
  Xdo({"type", "--delay", "30", "file://a"});
  std::vector<Note> typed;
  for (int i = 0; i < 8; ++i) typed.insert(typed.end(), {Combo(CBN_EDITUPDATE), Combo(CBN_EDITCHANGE)});
  ExpectNotes(typed, "typing an address");
  EXPECT_EQ(ListEntries(), (std::vector<std::string>{kNewEntryText, "file://a"}));

  // A character the ANSI code page cannot hold is refused, not mangled.
  Xdo({"type", "--delay", "30", "\xc3\xa9"});  // é
  ExpectNotes({}, "typing what CP932 cannot hold");
  EXPECT_EQ(ListEntries(), (std::vector<std::string>{kNewEntryText, "file://a"}));
  EXPECT_EQ(qobject_cast<QComboBox*>(ControlWidget(UrlBox))->currentText(), "file://a");

  // Arrow keys in the closed box move the selection.
  Xdo({"key", "Down"});
  ExpectNotes({Combo(CBN_SELCHANGE)}, "arrow key");
}

TEST_F(DesktopWindowTest, ChosenEntryRotatesFromTheTrayAndBack) {
  for (const char* name : {"one.bmp", "two.bmp", "three.bmp"}) {
    WriteTinyBitmap(Here(name));
    std::string url = "file://" + Here(name);
    SendMessageA(GetDlgItem(MainWindow, UrlBox), CB_INSERTSTRING, static_cast<WPARAM>(-1),
                 reinterpret_cast<LPARAM>(url.c_str()));
  }
  PickFromList(2);
  ExpectNotes({Combo(CBN_DROPDOWN), Combo(CBN_SELCHANGE), Combo(CBN_SELENDOK), Combo(CBN_CLOSEUP)},
              "choosing entry 2");
  EXPECT_EQ(RotationIndex, 2);

  // A list opened and left alone.
  auto* box = qobject_cast<QComboBox*>(ControlWidget(UrlBox));
  ClickAt(box->mapToGlobal(QPoint(box->width() - 8, box->height() / 2)));
  ASSERT_TRUE(PumpUntil([&] { return box->view()->isVisible(); }));
  Xdo({"key", "Escape"});
  ExpectNotes({Combo(CBN_DROPDOWN), Combo(CBN_SELENDCANCEL), Combo(CBN_CLOSEUP)}, "closing the list unpicked");

  Iconify(MainWidget()->winId());
  ASSERT_TRUE(PumpUntil([] { return !IsWindowVisible(MainWindow); }));
  ExpectNotes({System(SC_MINIMIZE)}, "minimize");
  EXPECT_TRUE(RotationTimerRunning());
  EXPECT_FALSE(MainWidget()->isVisible());
  testsupport::StderrCapture wallpaper;
  PostMessageA(MainWindow, WM_TIMER, RotationTimer, 0);
  PumpUntil([] { return false; }, 100);
  EXPECT_EQ(wallpaper.Finish(), "wallpaper: " + LayerWallpaperStorePath() + "\n");
  notes_.clear();

  QWidget* tray = TrayWidget();
  ASSERT_NE(tray, nullptr) << "no tray icon";
  EXPECT_TRUE(Embedded(tray->winId())) << "the tray host did not take the icon";
  ClickAt(CentreOf(tray));
  ASSERT_TRUE(PumpUntil([] { return IsWindowVisible(MainWindow) != FALSE; }));
  ExpectNotes({Note{TrayMessage, TrayIconId}, Note{TrayMessage, TrayIconId}}, "tray click");
  EXPECT_FALSE(RotationTimerRunning());
  EXPECT_TRUE(PumpUntil([] { return MainWidget()->isVisible(); }));

  RequestClose(MainWidget()->winId());
  ASSERT_TRUE(PumpUntil([] { return layer::Model().tray.empty(); }));
  ExpectNotes({System(SC_CLOSE)}, "close");
  EXPECT_FALSE(IsWindow(MainWindow));
  EXPECT_TRUE(PumpUntil([] { return TrayWidget() == nullptr; })) << "the tray icon stayed";
  EXPECT_EQ(quit_code, std::optional<WPARAM>(0));
}

// The tray menu as a person uses it: a right click on the icon in the real
// tray host, then the keyboard. `down` moves to the item chosen; `shot`
// names a file the open menu is photographed into.
void ChooseFromTrayMenu(int down, const std::string& shot = "") {
  QWidget* tray = TrayWidget();
  ASSERT_NE(tray, nullptr) << "no tray icon";
  if (!shot.empty()) {
    // Taken from inside the menu's own loop, while it is open.
    QTimer::singleShot(800, [shot] {
      QWidget* menu = QApplication::activePopupWidget();
      if (menu == nullptr) return;
      QRect around = menu->frameGeometry().adjusted(-24, -40, 24, 24);
      QGuiApplication::primaryScreen()->grabWindow(0, around.x(), around.y(), around.width(), around.height())
          .save(QString::fromStdString(shot));
    });
  }
  QPoint at = CentreOf(tray);
  std::vector<std::string> input = {"mousemove", std::to_string(at.x()), std::to_string(at.y()), "click", "3",
                                    "sleep", "1.2"};
  for (int i = 0; i < down; ++i) input.insert(input.end(), {"key", "Down"});
  input.insert(input.end(), {"key", "Return"});
  Xdo(input);
}

TEST_F(DesktopWindowTest, TheTrayMenuOpensOnARightClickAndItsChoicesAct) {
  for (const char* name : {"one.bmp", "two.bmp"}) {
    WriteTinyBitmap(Here(name));
    std::string url = "file://" + Here(name);
    SendMessageA(GetDlgItem(MainWindow, UrlBox), CB_INSERTSTRING, static_cast<WPARAM>(-1),
                 reinterpret_cast<LPARAM>(url.c_str()));
  }
  Iconify(MainWidget()->winId());
  ASSERT_TRUE(PumpUntil([] { return !IsWindowVisible(MainWindow); }));

  // The first item, next, changes the desktop's picture.
  const std::string shot = std::string(SKERROW_BUILD_DIR) + "/screenshots/tray-menu.png";
  std::filesystem::create_directories(std::filesystem::path(shot).parent_path());
  std::filesystem::remove(shot);
  testsupport::StderrCapture wallpaper;
  ChooseFromTrayMenu(1, shot);
  PumpUntil([] { return ShownUrl[0] != '\0'; }, 2000);
  EXPECT_EQ(wallpaper.Finish(), "wallpaper: " + LayerWallpaperStorePath() + "\n");
  EXPECT_EQ(ShownUrl, "file://" + Here("one.bmp"));
  QImage menu(QString::fromStdString(shot));
  EXPECT_FALSE(menu.isNull()) << "the open menu was not seen";

  // The third, pause, is a check mark that stops the rotation.
  ChooseFromTrayMenu(3);
  EXPECT_TRUE(PumpUntil([] { return Paused != 0; }));
  EXPECT_FALSE(RotationTimerRunning());

  // The last, quit, ends the program the normal way.
  ChooseFromTrayMenu(10);
  EXPECT_TRUE(PumpUntil([] { return !IsWindow(MainWindow); }));
  EXPECT_TRUE(PumpUntil([] { return TrayWidget() == nullptr; })) << "the tray icon stayed";
  EXPECT_EQ(quit_code, std::optional<WPARAM>(0));
}

TEST_F(DesktopWindowTest, IntervalBarAndProxyBoxOnlyAsk) {
  auto* bar = qobject_cast<QScrollBar*>(ControlWidget(IntervalBar));
  auto* label = qobject_cast<QLabel*>(ControlWidget(IntervalLabel));
  ASSERT_TRUE(bar && label);
  struct Step {
    QStyle::SubControl part;
    WORD code;
    int interval;
  };
  const Step steps[] = {
      {QStyle::SC_ScrollBarAddLine, SB_LINERIGHT, 606000},
      {QStyle::SC_ScrollBarSubLine, SB_LINELEFT, 600000},
      {QStyle::SC_ScrollBarAddPage, SB_PAGERIGHT, 660000},
      {QStyle::SC_ScrollBarSubPage, SB_PAGELEFT, 600000},
  };
  for (const Step& step : steps) {
    ClickAt(PartOf(bar, step.part));
    ExpectNotes({Scroll(step.code), Scroll(SB_ENDSCROLL)}, "scroll request " + std::to_string(step.code));
    EXPECT_EQ(IntervalMs, step.interval);
    EXPECT_EQ(bar->value(), step.interval / 6000);
    EXPECT_EQ(label->text(), IntervalText());
  }

  QPoint thumb = PartOf(bar, QStyle::SC_ScrollBarSlider);
  Xdo({"mousemove", std::to_string(thumb.x()), std::to_string(thumb.y()), "mousedown", "1", "mousemove",
       std::to_string(thumb.x() + 30), std::to_string(thumb.y()), "mousemove", std::to_string(thumb.x() + 60),
       std::to_string(thumb.y()), "mouseup", "1"});
  ASSERT_GE(notes_.size(), 3u);
  std::vector<Note> drag = notes_;
  for (size_t i = 0; i + 2 < drag.size(); ++i) EXPECT_EQ(LOWORD(drag[i].wParam), SB_THUMBTRACK);
  EXPECT_EQ(drag[drag.size() - 2], Scroll(SB_THUMBPOSITION, HIWORD(drag[drag.size() - 3].wParam)));
  EXPECT_EQ(drag.back(), Scroll(SB_ENDSCROLL));
  EXPECT_GT(IntervalMs, 600000);
  EXPECT_EQ(IntervalMs, HIWORD(drag[drag.size() - 2].wParam) * 6000);
  EXPECT_EQ(bar->value(), IntervalMs / 6000);
  EXPECT_EQ(label->text(), IntervalText());
  notes_.clear();

  auto* proxy = qobject_cast<QCheckBox*>(ControlWidget(ProxyCheck));
  for (int expected : {1, 0}) {
    ClickAt(CentreOf(proxy));
    ExpectNotes({Note{WM_COMMAND, MAKEWPARAM(ProxyCheck, BN_CLICKED)}}, "proxy box");
    EXPECT_EQ(ProxyChecked(), expected);
    EXPECT_EQ(proxy->isChecked(), expected == 1);
  }
}

}  // namespace
}  // namespace desktoptest
