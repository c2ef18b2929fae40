// The desktop view's one-instance socket. Kept apart from the Windows names,
// which clash with the system's socket declarations.
#pragma once

#include <string>

namespace layer::qt {

// One instance per user and display: a socket in XDG_RUNTIME_DIR, named by
// the X display or, where Qt runs on Wayland, the Wayland display.
class InstanceSocket {
 public:
  InstanceSocket() = default;
  ~InstanceSocket();
  InstanceSocket(const InstanceSocket&) = delete;
  InstanceSocket& operator=(const InstanceSocket&) = delete;
  // True when a running instance took the request to show itself.
  static bool HandOver();
  // Starts listening; false when there is no place for the socket.
  bool Listen();
  int fd() const { return fd_; }
  // Takes one waiting request; true when there was one.
  bool Accept();

 private:
  int fd_ = -1;
  std::string path_;
};

}  // namespace layer::qt
