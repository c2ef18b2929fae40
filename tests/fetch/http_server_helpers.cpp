#include "http_server_helpers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>

namespace fetchtest {
namespace {

int ListenOnLoopback(int* port, int backlog = 16) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int yes = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, backlog) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    std::abort();
  *port = ntohs(address.sin_port);
  return fd;
}

bool Readable(int fd, int timeout_ms) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, timeout_ms) > 0;
}

void SendAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

// Waits until `fd` takes more bytes; false when the server is stopping or
// the client has gone.
bool Writable(int fd, int stop_fd, int timeout_ms) {
  pollfd fds[2] = {{fd, POLLOUT, 0}, {stop_fd, POLLIN, 0}};
  if (poll(fds, 2, timeout_ms) < 0) return true;
  return fds[1].revents == 0 && (fds[0].revents & (POLLERR | POLLHUP)) == 0;
}

// The path of a request line's target, also when it is an absolute address.
std::string PathOf(const std::string& request) {
  size_t start = request.find(' ');
  if (start == std::string::npos) return "";
  size_t end = request.find(' ', start + 1);
  std::string target = request.substr(start + 1, end == std::string::npos ? std::string::npos : end - start - 1);
  if (target.rfind("http://", 0) == 0) {
    size_t slash = target.find('/', 7);
    target = slash == std::string::npos ? "/" : target.substr(slash);
  }
  return target;
}

}  // namespace

std::string Response(const std::string& body, const std::string& status, const std::string& type,
                     bool with_length) {
  std::string head = "HTTP/1.0 " + status + "\r\nContent-Type: " + type + "\r\n";
  if (with_length) head += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  return head + "\r\n" + body;
}

std::string RedirectResponse(const std::string& status, const std::string& location) {
  return "HTTP/1.0 " + status + "\r\nLocation: " + location + "\r\nContent-Length: 5\r\n\r\nmoved";
}

std::vector<std::string> Pieces(const std::string& bytes, size_t piece) {
  std::vector<std::string> pieces;
  for (size_t i = 0; i < bytes.size(); i += piece) pieces.push_back(bytes.substr(i, piece));
  return pieces;
}

ScriptedServer::ScriptedServer() {
  listen_fd_ = ListenOnLoopback(&port_);
  if (pipe2(stop_pipe_, O_CLOEXEC) != 0) std::abort();
  thread_ = std::thread([this] { Run(); });
}

ScriptedServer::~ScriptedServer() {
  char byte = 1;
  if (write(stop_pipe_[1], &byte, 1) != 1) std::abort();
  thread_.join();
  close(listen_fd_);
  close(stop_pipe_[0]);
  close(stop_pipe_[1]);
}

void ScriptedServer::Route(const std::string& path, Reply reply) {
  std::lock_guard lock(mutex_);
  routes_[path] = std::move(reply);
}

std::vector<std::string> ScriptedServer::Requests() {
  std::lock_guard lock(mutex_);
  return requests_;
}

int ScriptedServer::Finished() {
  std::lock_guard lock(mutex_);
  return finished_;
}

void ScriptedServer::Run() {
  for (;;) {
    pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) continue;
    if (fds[1].revents != 0) return;
    int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    Serve(fd);
    close(fd);
    std::lock_guard lock(mutex_);
    ++finished_;
  }
}

void ScriptedServer::Serve(int fd) {
  std::string request;
  char buffer[4096];
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (request.find("\r\n\r\n") == std::string::npos && std::chrono::steady_clock::now() < until) {
    if (!Readable(fd, 50)) continue;
    ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) return;
    request.append(buffer, static_cast<size_t>(n));
  }
  Reply reply;
  {
    std::lock_guard lock(mutex_);
    requests_.push_back(request);
    auto route = routes_.find(PathOf(request));
    if (route != routes_.end()) {
      reply = route->second;
    } else {
      reply.chunks = {Response("<html><body>Not Found</body></html>", "404 Not Found", "text/html")};
    }
  }
  for (size_t i = 0; i < reply.chunks.size(); ++i) {
    if (i > 0 && reply.pause_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(reply.pause_ms));
    SendAll(fd, reply.chunks[i]);
  }
  for (long long sent = 0; !reply.filler.empty() && (reply.filler_bytes < 0 || sent < reply.filler_bytes);) {
    if (sent > 0 && reply.filler_pause_ms > 0) {
      pollfd stop{stop_pipe_[0], POLLIN, 0};
      if (poll(&stop, 1, reply.filler_pause_ms) > 0) return;
    }
    if (!Writable(fd, stop_pipe_[0], -1)) return;
    size_t n = reply.filler.size();
    if (reply.filler_bytes >= 0 && static_cast<long long>(n) > reply.filler_bytes - sent)
      n = static_cast<size_t>(reply.filler_bytes - sent);
    ssize_t done = send(fd, reply.filler.data(), n, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (done < 0 && errno != EAGAIN) return;
    if (done > 0) sent += done;
  }
  if (reply.reset) {
    linger option{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &option, sizeof option);
    return;
  }
  if (reply.close) return;
  // Held open until the client goes or the server stops.
  for (;;) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) continue;
    if (fds[1].revents != 0) return;
    if (recv(fd, buffer, sizeof buffer, 0) <= 0) return;
  }
}

int UnusedPort() {
  int port = 0;
  int fd = ListenOnLoopback(&port);
  close(fd);
  return port;
}

FullListener::FullListener() {
  listen_fd_ = ListenOnLoopback(&port_, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port_));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  // Connections nobody accepts fill the queue; later requests go unanswered.
  for (int i = 0; i < 3; ++i) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    clients_.push_back(fd);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

FullListener::~FullListener() {
  for (int fd : clients_) close(fd);
  close(listen_fd_);
}

Tinyproxy::Tinyproxy(const std::string& folder) {
  int port = UnusedPort();
  std::string config = folder + "/tinyproxy.conf";
  {
    std::ofstream out(config);
    out << "Port " << port << "\nListen 127.0.0.1\nTimeout 30\nMaxClients 20\nAllow 127.0.0.1\n"
        << "LogLevel Critical\nDisableViaHeader Yes\n";
    if (geteuid() == 0) out << "User nobody\nGroup nogroup\n";
  }
  pid_ = fork();
  if (pid_ == 0) {
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    execl("/usr/bin/tinyproxy", "tinyproxy", "-d", "-c", config.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  // Ready once it accepts a connection.
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < until) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool up = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    if (up) {
      port_ = port;
      return;
    }
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
      pid_ = -1;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

Tinyproxy::~Tinyproxy() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  for (int i = 0; i < 200; ++i) {
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
}

}  // namespace fetchtest
