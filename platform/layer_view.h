// The seam between the layer's model and what shows it to a person. Without a
// display the headless view writes to the standard error stream; a desktop
// view attaches here without any change to application code.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

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
  // How many screens a person can see the program's window on.
  virtual int MonitorCount() const { return 0; }
};

View& CurrentView();
// Attaches a view (null: the headless one). The caller keeps ownership.
void AttachView(View* view);

// A path in bytes, for showing: UTF-8 as it stands, CP932 otherwise.
std::string PathForDisplay(std::string_view path);

}  // namespace layer
