// One running program per user and display. Where the desktop has no
// notification area, a hidden window could otherwise never come back:
// starting the program again asks the running one to show itself.
#include <sys/socket.h>
#include <sys/un.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "instance_socket.h"

namespace layer::qt {
namespace {

// $XDG_RUNTIME_DIR/skerrow-<display>.socket; empty when there is no such
// folder or the name would not fit a socket address.
std::string SocketPath() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime == nullptr || runtime[0] == '\0') return {};
  // Named by the display Qt opens, which the view settled before this: on a
  // Wayland session XWayland's DISPLAY is set as well, and a program on the
  // Wayland display must find the one already running there.
  const char* platform = std::getenv("QT_QPA_PLATFORM");
  bool wayland = platform != nullptr && std::string_view(platform).starts_with("wayland");
  const char* display = wayland ? nullptr : std::getenv("DISPLAY");
  if (display == nullptr || display[0] == '\0') display = std::getenv("WAYLAND_DISPLAY");
  std::string name = display != nullptr ? display : "";
  for (char& c : name)
    if (c == '/' || c == ':') c = '_';
  std::string path = std::string(runtime) + "/skerrow-" + name + ".socket";
  if (path.size() >= sizeof(sockaddr_un{}.sun_path)) return {};
  return path;
}

sockaddr_un AddressOf(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return address;
}

}  // namespace

bool InstanceSocket::HandOver() {
  std::string path = SocketPath();
  if (path.empty()) return false;
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_un address = AddressOf(path);
  // The connection itself is the request: the running program may accept
  // and close it before anything is sent, so what follows it is not looked at.
  bool taken = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  if (taken) send(fd, "show\n", 5, MSG_NOSIGNAL);
  close(fd);
  return taken;
}

bool InstanceSocket::Listen() {
  path_ = SocketPath();
  if (path_.empty()) return false;
  fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd_ < 0) return false;
  sockaddr_un address = AddressOf(path_);
  // Nobody answered HandOver, so a socket file left here is stale.
  unlink(path_.c_str());
  if (bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd_, 4) != 0) {
    close(fd_);
    fd_ = -1;
    path_.clear();
    return false;
  }
  return true;
}

bool InstanceSocket::Accept() {
  int peer = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
  if (peer < 0) return false;
  close(peer);  // the connection itself is the request
  return true;
}

InstanceSocket::~InstanceSocket() {
  if (fd_ < 0) return;
  close(fd_);
  unlink(path_.c_str());
}

}  // namespace layer::qt
