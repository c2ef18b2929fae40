// A private X display for the desktop tests: Xvfb on a display number it
// picks itself, a tray host when asked, and what a window manager would do
// for its title-bar buttons. Kept apart from the Windows names, which clash
// with Xlib's.
#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace desktoptest {

// Polls `done` every `step_ms` until it holds or `ms` have passed.
bool WaitFor(const std::function<bool()>& done, int ms = 10000, int step_ms = 20);

// A child process, ended (and waited for) when the object goes.
class Child {
 public:
  explicit Child(const std::vector<std::string>& argv, int keep_fd = -1);
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  // True once it has ended; its exit code (or -1 after a signal) in *code.
  bool Ended(int* code = nullptr);
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int status_ = 0;
  bool ended_ = false;
};

class XSession {
 public:
  explicit XSession(bool with_tray);
  ~XSession();
  XSession(const XSession&) = delete;
  XSession& operator=(const XSession&) = delete;
  const std::string& display() const { return display_; }
  bool ok() const { return ok_; }

 private:
  std::string display_;
  bool ok_ = false;
  std::unique_ptr<Child> server_;
  std::unique_ptr<Child> tray_;
};

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
