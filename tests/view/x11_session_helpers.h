// What a window manager would do for the desktop tests' title-bar buttons,
// and how the windows look on the private X display. Kept apart from the
// Windows names, which clash with Xlib's.
#pragma once

#include <string>
#include <vector>

#include "child_process.h"
#include "x_server.h"

namespace desktoptest {

// The display itself and the programs on it are the suites' shared ones.
using testsupport::Child;
using testsupport::WaitFor;
using testsupport::XServer;

// A window manager's minimize (WM_STATE iconic) and its close button
// (WM_DELETE_WINDOW).
void Iconify(unsigned long window);
void RequestClose(unsigned long window);
// Top-level windows whose name is `title`.
std::vector<unsigned long> WindowsNamed(const std::string& title);
// Looks for a shown top-level window by title over one lasting connection,
// for callers that look often.
class WindowWatch {
 public:
  WindowWatch();
  ~WindowWatch();
  WindowWatch(const WindowWatch&) = delete;
  WindowWatch& operator=(const WindowWatch&) = delete;
  bool Shows(const std::string& title);

 private:
  void* display_;  // an Xlib Display, kept out of this header
};

// Whether the window is mapped and all its ancestors are.
bool Viewable(unsigned long window);
// Whether a host (the tray) has taken the window into one of its own.
bool Embedded(unsigned long window);

}  // namespace desktoptest
