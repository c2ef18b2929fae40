// The one-instance socket: in $XDG_RUNTIME_DIR, else in a folder of our
// own that only the user may enter. Other users are turned away by the
// kernel's word on who connected, never by what they send. Which start
// becomes the program is settled by a lock beside the socket, never by
// who answers there: looking for a listener and then binding leaves a gap
// another start can pass through.
#include "instance_socket.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace layer {
namespace {

// How long a start that lost the claim waits for the winner to listen: the
// winner may still be loading its view on a busy machine.
constexpr int kHandOverTimeoutMs = 10000;

int claim_fd = -1;        // the lock this program holds on its name, while it runs
std::string claim_path;  // that lock's file, removed when the claim ends

bool Set(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && value[0] != '\0';
}

// Not followed: a link planted in /tmp must not lead the socket elsewhere.
bool OnlyOurs(const std::string& folder, std::string* why) {
  struct stat info{};
  if (lstat(folder.c_str(), &info) != 0) {
    *why = folder + ": " + std::strerror(errno);
    return false;
  }
  if (!S_ISDIR(info.st_mode) || info.st_uid != geteuid() || (info.st_mode & 077) != 0 ||
      access(folder.c_str(), W_OK | X_OK) != 0) {
    *why = folder + " is not a folder only this user may enter and write";
    return false;
  }
  return true;
}

// $XDG_RUNTIME_DIR when it is a folder we may use; otherwise every start
// falls back to the same private folder, so starts still find each other.
std::string SocketFolder(std::string* why) {
  if (Set("XDG_RUNTIME_DIR")) {
    std::string runtime = std::getenv("XDG_RUNTIME_DIR");
    std::string ignored;
    if (OnlyOurs(runtime, &ignored)) return runtime;
  }
  const char* temp = std::getenv("TMPDIR");
  std::string folder = temp != nullptr && temp[0] == '/' ? temp : "/tmp";
  folder += "/skerrow-" + std::to_string(geteuid());
  if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    *why = folder + ": " + std::strerror(errno);
    return {};
  }
  return OnlyOurs(folder, why) ? folder : std::string();
}

// The display as the X server knows it: "host:display", the screen left
// out, since every screen of one server is one desktop session.
std::string CanonicalDisplay(std::string name) {
  size_t colon = name.rfind(':');
  if (colon == std::string::npos) return name;
  size_t dot = name.find('.', colon);
  bool number = dot != colon + 1 && name.find_first_not_of("0123456789", colon + 1) == dot;
  if (number && dot != std::string::npos) name.resize(dot);
  return name;
}

std::string DisplayName(const char* variable) {
  std::string name = std::getenv(variable);
  return std::string_view(variable) == "DISPLAY" ? CanonicalDisplay(name) : name;
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
    std::string name = DisplayName(variable);
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
  const char* variable = wayland ? "WAYLAND_DISPLAY" : "DISPLAY";
  return Set(variable) ? DisplayName(variable) : "none";
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

namespace {

// One request on a connected socket and the line that answers it.
InstanceReply Exchange(int fd, std::string_view request, std::string* answer) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kInstanceTimeoutMs);
  auto left_ms = [&] {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return static_cast<int>(std::max<long long>(0, left.count()));
  };
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

std::string LockPath(const std::string& socket_path) {
  return socket_path.substr(0, socket_path.size() - std::string_view(".socket").size()) + ".lock";
}

// The lock file at `path`, opened; -1 with the reason.
int OpenLock(const std::string& path, std::string* why) {
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, 0600);
  if (fd < 0) *why = path + ": " + std::strerror(errno);
  return fd;
}

// Takes the lock on `fd` without waiting; false while another holds it.
bool TakeLock(int fd) {
  int taken;
  do {
    taken = flock(fd, LOCK_EX | LOCK_NB);
  } while (taken != 0 && errno == EINTR);
  return taken == 0;
}

// A lock taken is the claim only while its file still has the name: the
// program that held it removes the name before it lets the lock go.
bool StillNamed(int fd, const std::string& path) {
  struct stat held{}, named{};
  return fstat(fd, &held) == 0 && lstat(path.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
         held.st_ino == named.st_ino;
}

void Hold(int fd, const std::string& path) {
  claim_fd = fd;
  claim_path = path;
}

}  // namespace

InstanceReply AskRunningInstance(std::string_view request, std::string* answer) {
  for (const std::string& name : InstanceNamesToTry()) {
    std::string why;
    std::string path = InstanceSocketPath(name, &why);
    if (path.empty()) continue;
    int fd = ConnectTo(path);
    if (fd < 0) continue;
    return Exchange(fd, request, answer);
  }
  return InstanceReply::kNoProgram;
}

InstanceClaim ClaimInstanceName(std::string_view name, std::string* why) {
  ReleaseInstanceClaim();
  std::string socket = InstanceSocketPath(name, why);
  if (socket.empty()) return InstanceClaim::kFailed;
  std::string path = LockPath(socket);
  for (;;) {
    int fd = OpenLock(path, why);
    if (fd < 0) return InstanceClaim::kFailed;
    if (!TakeLock(fd)) {
      close(fd);
      return InstanceClaim::kTaken;
    }
    if (StillNamed(fd, path)) {
      Hold(fd, path);
      return InstanceClaim::kClaimed;
    }
    close(fd);  // its holder ended meanwhile: the name's next file decides
  }
}

void ReleaseInstanceClaim() {
  if (claim_fd < 0) return;
  unlink(claim_path.c_str());
  close(claim_fd);
  claim_fd = -1;
  claim_path.clear();
}

InstanceReply HandOverTo(std::string_view name, std::string_view request, std::string* answer) {
  std::string socket = InstanceSocketPath(name, answer);
  if (socket.empty()) return InstanceReply::kFailed;
  std::string path = LockPath(socket);
  int lock = OpenLock(path, answer);
  if (lock < 0) return InstanceReply::kFailed;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kHandOverTimeoutMs);
  for (;;) {
    if (int fd = ConnectTo(socket); fd >= 0) {
      InstanceReply reply = Exchange(fd, request, answer);
      // A winner that many starts reach at once lets its oldest callers go
      // unanswered; the request (only ever "show") is sent again.
      if (reply == InstanceReply::kAnswered || std::chrono::steady_clock::now() >= deadline) {
        close(lock);
        return reply;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      continue;
    }
    // The winner ended before it listened: the name may be ours now.
    if (TakeLock(lock)) {
      if (StillNamed(lock, path)) {
        ReleaseInstanceClaim();
        Hold(lock, path);
        return InstanceReply::kNoProgram;
      }
      close(lock);
      if ((lock = OpenLock(path, answer)) < 0) return InstanceReply::kFailed;
      continue;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      close(lock);
      *answer = "the program holding this display took no request within 10 s";
      return InstanceReply::kFailed;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

}  // namespace layer
