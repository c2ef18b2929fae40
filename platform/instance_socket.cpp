// The one-instance socket: in $XDG_RUNTIME_DIR, else in a folder of our
// own that only the user may enter. Other users are turned away by the
// kernel's word on who connected, never by what they send.
#include "instance_socket.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

namespace layer {
namespace {

bool Set(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && value[0] != '\0';
}

std::string SocketFolder(std::string* why) {
  std::string folder;
  if (Set("XDG_RUNTIME_DIR")) {
    folder = std::getenv("XDG_RUNTIME_DIR");
  } else {
    const char* temp = std::getenv("TMPDIR");
    folder = temp != nullptr && temp[0] == '/' ? temp : "/tmp";
    folder += "/skerrow-" + std::to_string(geteuid());
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
      *why = folder + ": " + std::strerror(errno);
      return {};
    }
  }
  struct stat info{};
  // Not followed: a link planted in /tmp must not lead the socket elsewhere.
  if (lstat(folder.c_str(), &info) != 0) {
    *why = folder + ": " + std::strerror(errno);
    return {};
  }
  if (!S_ISDIR(info.st_mode) || info.st_uid != geteuid() || (info.st_mode & 077) != 0) {
    *why = folder + " is not a folder only this user may enter";
    return {};
  }
  return folder;
}

sockaddr_un AddressOf(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return address;
}

// A connected socket to `path`, -1 when nobody listens there.
int ConnectTo(const std::string& path) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_un address = AddressOf(path);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

std::vector<std::string> InstanceNamesToTry() {
  std::vector<std::string> names;
  auto add = [&](const char* variable) {
    if (!Set(variable)) return;
    std::string name = std::getenv(variable);
    if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
  };
  const char* platform = std::getenv("QT_QPA_PLATFORM");
  if (platform != nullptr && std::string_view(platform).starts_with("wayland")) add("WAYLAND_DISPLAY");
  add("DISPLAY");
  add("WAYLAND_DISPLAY");
  names.push_back("none");
  return names;
}

std::string InstanceNameInUse(bool desktop) {
  if (!desktop) return "none";
  // The view settled the platform Qt opened before this is asked.
  const char* platform = std::getenv("QT_QPA_PLATFORM");
  bool wayland = platform != nullptr && std::string_view(platform).starts_with("wayland");
  const char* display = std::getenv(wayland ? "WAYLAND_DISPLAY" : "DISPLAY");
  return display != nullptr && display[0] != '\0' ? display : "none";
}

std::string InstanceSocketPath(std::string_view name, std::string* why) {
  std::string folder = SocketFolder(why);
  if (folder.empty()) return {};
  std::string safe(name);
  for (char& c : safe)
    if (c == '/' || c == ':') c = '_';
  std::string path = folder + "/skerrow-" + safe + ".socket";
  if (path.size() >= sizeof(sockaddr_un{}.sun_path)) {
    *why = path + ": too long for a socket's name";
    return {};
  }
  return path;
}

int ListenAt(const std::string& path, std::string* why) {
  if (int other = ConnectTo(path); other >= 0) {
    close(other);
    *why = "another program listens at " + path;
    return -1;
  }
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    *why = std::strerror(errno);
    return -1;
  }
  // Nobody answered there, so a socket file left at the path is stale.
  RemoveSocketFile(path);
  sockaddr_un address = AddressOf(path);
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 8) != 0) {
    *why = path + ": " + std::strerror(errno);
    close(fd);
    return -1;
  }
  return fd;
}

void RemoveSocketFile(const std::string& path) {
  struct stat info{};
  if (!path.empty() && lstat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode)) unlink(path.c_str());
}

int AcceptCaller(int listener) {
  for (;;) {
    int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) return -1;
    ucred credentials{};
    socklen_t size = sizeof credentials;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) == 0 && credentials.uid == geteuid())
      return fd;
    SendLine(fd, "error refused: the program belongs to another user");
    close(fd);
  }
}

bool ReadCaller(int fd, std::string* into) {
  char bytes[1024];
  ssize_t got = recv(fd, bytes, sizeof bytes, MSG_DONTWAIT);
  if (got < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
  if (got == 0) return false;
  into->append(bytes, static_cast<size_t>(got));
  return true;
}

void SendLine(int fd, const std::string& line) {
  std::string whole = line + "\n";
  // The line is far below a socket's buffer; a caller that does not read
  // loses its answer rather than holding the program.
  (void)send(fd, whole.data(), whole.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
}

void CloseCaller(int fd) { close(fd); }

InstanceReply AskRunningInstance(std::string_view request, std::string* answer) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kInstanceTimeoutMs);
  auto left_ms = [&] {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return static_cast<int>(std::max<long long>(0, left.count()));
  };
  for (const std::string& name : InstanceNamesToTry()) {
    std::string why;
    std::string path = InstanceSocketPath(name, &why);
    if (path.empty()) continue;
    int fd = ConnectTo(path);
    if (fd < 0) continue;
    std::string line(request);
    line += '\n';
    if (line.size() > kInstanceLineLimit || send(fd, line.data(), line.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line.size())) {
      close(fd);
      *answer = "the request could not be sent";
      return InstanceReply::kFailed;
    }
    std::string got;
    for (;;) {
      pollfd wait{fd, POLLIN, 0};
      int ready = poll(&wait, 1, left_ms());
      if (ready < 0 && errno == EINTR) continue;
      if (ready <= 0) {
        close(fd);
        *answer = "no answer within 2 s";
        return InstanceReply::kFailed;
      }
      char bytes[1024];
      ssize_t n = recv(fd, bytes, sizeof bytes, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      got.append(bytes, static_cast<size_t>(n));
      if (got.find('\n') != std::string::npos || got.size() > kInstanceLineLimit) break;
    }
    close(fd);
    size_t end = got.find('\n');
    if (end == std::string::npos) {
      *answer = got.size() > kInstanceLineLimit ? "the answer is longer than 4 KiB" : "the program closed without an answer";
      return InstanceReply::kFailed;
    }
    *answer = got.substr(0, end);
    return InstanceReply::kAnswered;
  }
  return InstanceReply::kNoProgram;
}

}  // namespace layer
