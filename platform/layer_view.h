// The seam between the layer's model and what shows it to a person. Without a
// display the headless view writes to the standard error stream; the desktop
// view module attaches here (through the table in layer_view_host.h) without
// any change to application code.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "layer_control.h"

struct pollfd;

namespace layer {

class View {
 public:
  virtual ~View() = default;
  // Shows a message box and returns the button chosen. Text and caption
  // are in the ANSI code page.
  virtual int ShowMessageBox(HWND owner, std::string_view caption, std::string_view text, UINT type,
                             int default_answer) = 0;
  // The desktop shall show the bitmap now stored at `stored_path`;
  // `given_path` is what the program asked for (ANSI code page).
  virtual void WallpaperChanged(std::string_view given_path, const std::string& stored_path) = 0;
  // A window's visibility, text or control state changed, or it is gone.
  virtual void WindowChanged(HWND) {}
  virtual void WindowDestroyed(HWND) {}
  // The notification area's icons changed.
  virtual void TrayChanged() {}
  // The loop's one wait: as poll(2) on `fds` for at most `timeout_ms` (-1:
  // no limit). A desktop view handles its own events inside the same wait.
  virtual int Wait(pollfd* fds, size_t count, int timeout_ms);
  // How many screens the desktop has; 0 when it is not known.
  virtual int MonitorCount() const { return 0; }
  // Shows a popup menu at (x, y), running the program's loop until it is
  // closed; the id chosen, 0 when dismissed. Without a desktop there is no
  // one to choose.
  virtual UINT TrackMenu(const std::vector<LayerMenuLine>&, int, int) { return 0; }
  // Where the pointer is on the desktop; (0, 0) without one.
  virtual void CursorPosition(LONG* x, LONG* y) {
    *x = 0;
    *y = 0;
  }
};

View& CurrentView();
// The view that writes to the standard error stream; a message box that
// opens while another is open goes there.
View& HeadlessView();
// Attaches a view (null: the headless one). The caller keeps ownership.
void AttachView(View* view);

// How the program starts with respect to a desktop.
enum class DesktopStart {
  kHeadless,    // no display, or the desktop view could not start
  kDesktop,   // the desktop view is attached
};
// Loads and attaches the desktop view when a display is present; any
// failure leaves the headless view with one line on the standard error.
DesktopStart StartDesktopView(const char* program);
// Detaches the desktop view and frees it (the module stays loaded).
void StopDesktopView();

// A path in bytes, for showing: UTF-8 as it stands, CP932 otherwise.
std::string PathForDisplay(std::string_view path);
// The line every view writes to the standard error stream when the
// wallpaper changed, naming the stored copy the desktop was given (a
// temporary file of the program's would be gone by the time it is read);
// scripts and tests watch for it.
void SayWallpaper(std::string_view stored_path);

}  // namespace layer
