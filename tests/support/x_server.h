// A private X display: Xvfb on a display number of its own, and a tray host
// when asked. DISPLAY names it while it lives. Kept apart from the Windows
// names, which clash with Xlib's.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>

#include "child_process.h"

namespace testsupport {

class XServer {
 public:
  // `screen` as Xvfb takes it ("640x360x24"); empty: a size of this
  // process's own, which also tells our server from someone else's.
  // Throws when no server comes up.
  explicit XServer(const std::string& screen = "1280x720x24", bool with_tray = false);
  ~XServer();
  XServer(const XServer&) = delete;
  XServer& operator=(const XServer&) = delete;
  const std::string& display() const { return display_; }
  pid_t pid() const { return server_->pid(); }
  // False when a tray host was asked for and never took the tray.
  bool ok() const { return ok_; }

 private:
  std::string display_;
  bool ok_ = false;
  std::unique_ptr<Child> server_;
  std::unique_ptr<Child> tray_;
};

}  // namespace testsupport
