// The desktop tests' side of the program: the real application on a private
// X display with the desktop view, real input through xdotool, and the
// window procedure's notifications written down as they arrive.
#pragma once

#include <windows.h>

#include <QImage>
#include <QPoint>
#include <QWidget>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app_helpers.h"
#include "x11_session_helpers.h"

namespace desktoptest {

// A message the window procedure received, as Windows delivers it.
struct Note {
  UINT message;
  WPARAM wParam;
  bool operator==(const Note&) const = default;
};

// The application's window on a display of its own: the display and the
// view are started once for the test program, the window for each test.
class DesktopTest : public AppTest {
 protected:
  static void SetUpTestSuite();
  static void TearDownTestSuite();
  void SetUp() override;
  void TearDown() override;

  // Compares the notifications since the last step with `expected`.
  void ExpectNotes(const std::vector<Note>& expected, const std::string& step);
  std::vector<Note> notes_;

  static std::unique_ptr<XServer> session_;
};

// Dispatches the layer's messages until `done` holds or `ms` have passed;
// a quit message ends it and leaves its code here.
bool PumpUntil(const std::function<bool()>& done, int ms = 5000);
extern std::optional<WPARAM> quit_code;
// Runs xdotool with `args`, dispatching messages meanwhile so that the
// window answers the input it sends.
void Xdo(const std::vector<std::string>& args);
void ClickAt(QPoint global);

// The widget that shows the main window, and the one that shows a control.
QWidget* MainWidget();
QWidget* ControlWidget(int id);
QPoint CentreOf(const QWidget* widget);
// The window as the X server holds it, pixels and all.
QImage Screenshot();
// A 2 x 2 bitmap the wallpaper path takes without complaint.
void WriteTinyBitmap(const std::string& path);
// Compares with a picture under tests/view/; a missing reference is written
// from the screenshot when SKERROW_UPDATE_PICTURES is set.
void ExpectLooksLike(const QImage& shot, const std::string& reference);

}  // namespace desktoptest
