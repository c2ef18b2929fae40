// sway, and compositors that speak its IPC: one RUN_COMMAND message on the
// socket named by SWAYSOCK, and its JSON answer.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "desktop_setter.h"

namespace layer {
namespace {

constexpr char kMagic[] = {'i', '3', '-', 'i', 'p', 'c'};
constexpr uint32_t kRunCommand = 0;
constexpr uint32_t kLongestReply = 1 << 16;
constexpr int kDeadlineMs = 2000;
// The background mode for each placement, in WallpaperFit's order; without
// one the picture fills, as the program's own renderings do. The
// compositor cannot span one picture over its outputs: until the program
// lays out a picture per output itself, a spanned one fills each.
constexpr const char* kBackgroundModes[] = {"fill", "fill", "fit", "stretch", "center", "tile", "fill"};

bool CanRun() {
  const char* socket_path = std::getenv("SWAYSOCK");
  return socket_path != nullptr && socket_path[0] != '\0';
}

// The path as one argument of sway's command language.
std::string Quoted(const char* path) {
  std::string quoted = "\"";
  for (const char* c = path; *c != '\0'; ++c) {
    if (*c == '"' || *c == '\\') quoted += '\\';
    quoted += *c;
  }
  return quoted + "\"";
}

class Connection {
 public:
  explicit Connection(int fd) : fd_(fd), until_(std::chrono::steady_clock::now() + std::chrono::milliseconds(kDeadlineMs)) {}
  ~Connection() {
    if (fd_ >= 0) close(fd_);
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  int fd() const { return fd_; }
  // Moves all of `length` bytes one way or the other before the deadline.
  bool Transfer(char* data, size_t length, bool sending) {
    for (size_t done = 0; done < length;) {
      int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                      until_ - std::chrono::steady_clock::now()).count());
      pollfd watch{fd_, static_cast<short>(sending ? POLLOUT : POLLIN), 0};
      if (left <= 0 || poll(&watch, 1, left) <= 0) return false;
      ssize_t moved = sending ? send(fd_, data + done, length - done, MSG_NOSIGNAL) : recv(fd_, data + done, length - done, 0);
      if (moved < 0 && errno == EINTR) continue;
      if (moved <= 0) return false;
      done += static_cast<size_t>(moved);
    }
    return true;
  }

 private:
  int fd_;
  std::chrono::steady_clock::time_point until_;
};

bool Show(const char* path, WallpaperFit fit, std::string* why) {
  const char* socket_path = std::getenv("SWAYSOCK");
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (socket_path == nullptr || std::strlen(socket_path) >= sizeof address.sun_path) {
    *why = "SWAYSOCK names no usable socket";
    return false;
  }
  std::strcpy(address.sun_path, socket_path);
  Connection connection(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (connection.fd() < 0 || connect(connection.fd(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    *why = std::string("cannot reach the compositor at ") + socket_path + ": " + std::strerror(errno);
    return false;
  }
  std::string command = "output * bg " + Quoted(path) + " " + kBackgroundModes[static_cast<int>(fit)];
  std::string message(kMagic, sizeof kMagic);
  uint32_t header[2] = {static_cast<uint32_t>(command.size()), kRunCommand};
  message.append(reinterpret_cast<const char*>(header), sizeof header);
  message += command;
  char reply_header[sizeof kMagic + 8];
  if (!connection.Transfer(message.data(), message.size(), true) ||
      !connection.Transfer(reply_header, sizeof reply_header, false) ||
      std::memcmp(reply_header, kMagic, sizeof kMagic) != 0) {
    *why = "the compositor did not answer within 2 seconds";
    return false;
  }
  uint32_t length = 0;
  std::memcpy(&length, reply_header + sizeof kMagic, sizeof length);
  if (length > kLongestReply) {
    *why = "the compositor's answer is too long";
    return false;
  }
  std::string reply(length, '\0');
  if (!connection.Transfer(reply.data(), reply.size(), false)) {
    *why = "the compositor's answer was cut short";
    return false;
  }
  // One command, one result: [{"success": true}] or its error.
  if (reply.find("\"success\": true") != std::string::npos || reply.find("\"success\":true") != std::string::npos)
    return true;
  *why = "the compositor refused the wallpaper: " + reply;
  return false;
}

}  // namespace

const DesktopSetter kSwayDesktop = {"sway", CanRun, Show, true, nullptr, nullptr};

}  // namespace layer
