// sway, and compositors that speak its IPC: on the socket named by
// SWAYSOCK, a GET_OUTPUTS message for the outputs and one RUN_COMMAND
// message with the backgrounds, each on a connection of its own, and their
// JSON answers.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "desktop_setter.h"
#include "sway_replies.h"

namespace layer {
namespace {

constexpr char kMagic[] = {'i', '3', '-', 'i', 'p', 'c'};
constexpr uint32_t kRunCommand = 0;
constexpr uint32_t kGetOutputs = 3;
constexpr uint32_t kLongestReply = 1 << 16;
// Every mode of every output is listed: a few kilobytes per monitor.
constexpr uint32_t kLongestOutputList = 1 << 20;
constexpr int kDeadlineMs = 2000;
// The background mode for each placement, in WallpaperFit's order; without
// one the picture fills, as the program's own renderings do. The
// compositor cannot span one picture over its outputs: a spanned one fills
// each.
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

// One message and its answer on a connection of its own, within the
// deadline; false with the reason.
bool Exchange(uint32_t type, const std::string& payload, uint32_t longest, std::string* reply, std::string* why) {
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
  std::string message(kMagic, sizeof kMagic);
  uint32_t header[2] = {static_cast<uint32_t>(payload.size()), type};
  message.append(reinterpret_cast<const char*>(header), sizeof header);
  message += payload;
  char reply_header[sizeof kMagic + 8];
  if (!connection.Transfer(message.data(), message.size(), true) ||
      !connection.Transfer(reply_header, sizeof reply_header, false) ||
      std::memcmp(reply_header, kMagic, sizeof kMagic) != 0) {
    *why = "the compositor did not answer within 2 seconds";
    return false;
  }
  uint32_t length = 0, answered = 0;
  std::memcpy(&length, reply_header + sizeof kMagic, sizeof length);
  std::memcpy(&answered, reply_header + sizeof kMagic + 4, sizeof answered);
  if (answered != type) {
    *why = "the compositor answered another question";
    return false;
  }
  if (length > longest) {
    *why = "the compositor's answer is too long";
    return false;
  }
  reply->assign(length, '\0');
  if (!connection.Transfer(reply->data(), reply->size(), false)) {
    *why = "the compositor's answer was cut short";
    return false;
  }
  return true;
}

// Runs the commands (one per output, or one for all) as one message, so
// the outputs change together; `targets` names each command's output for
// a refusal.
bool RunCommands(const std::string& commands, const std::vector<std::string>& targets, std::string* why) {
  std::string reply;
  if (!Exchange(kRunCommand, commands, kLongestReply, &reply, why)) return false;
  std::vector<std::string> errors;
  if (!ReadSwayResults(reply, &errors, why)) return false;
  if (errors.size() != targets.size()) {
    *why = "the compositor ran " + std::to_string(errors.size()) + " of " + std::to_string(targets.size()) +
           " commands: " + reply.substr(0, 200);
    return false;
  }
  for (size_t i = 0; i < errors.size(); ++i)
    if (!errors[i].empty()) {
      *why = "the compositor refused the wallpaper on " + targets[i] + ": " + errors[i];
      return false;
    }
  return true;
}

// One background command for an output ("*": all of them).
std::string BackgroundCommand(const char* output, const char* path, WallpaperFit fit) {
  return std::string("output ") + output + " bg " + Quoted(path) + " " + kBackgroundModes[static_cast<int>(fit)];
}

bool Show(const char* path, WallpaperFit fit, std::string* why) {
  return RunCommands(BackgroundCommand("*", path, fit), {"every output"}, why);
}

// The outputs the compositor shows things on, in its order and with their
// places in its layout.
bool ListOutputs(std::vector<MonitorPlace>* monitors, std::string* why) {
  std::string reply;
  return Exchange(kGetOutputs, "", kLongestOutputList, &reply, why) && ReadSwayOutputs(reply, monitors, why);
}

// Each output its own picture, in one message. Without a fit each picture
// fills its output, as the program's own renderings do; the compositor
// cannot span one picture over its outputs, so a span fills each one too.
bool ShowEach(const std::vector<MonitorPicture>& pictures, WallpaperFit fit, std::string* why) {
  if (pictures.empty()) {
    *why = "no monitor was given a picture";
    return false;
  }
  std::string commands;
  std::vector<std::string> targets;
  for (const MonitorPicture& picture : pictures) {
    if (!commands.empty()) commands += "; ";
    commands += BackgroundCommand(Quoted(picture.monitor.name.c_str()).c_str(), picture.path.c_str(), fit);
    targets.push_back(picture.monitor.name);
  }
  return RunCommands(commands, targets, why);
}

}  // namespace

const DesktopSetter kSwayDesktop = {"sway", CanRun, Show, true, ListOutputs, ShowEach};

}  // namespace layer
