#include "scripted_server.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <stdexcept>

#include "test_support.h"

namespace testsupport {

namespace {

constexpr int kWaitMs = 5000;  // the longest any one step of a connection may take

// The authority and every server certificate, made once per test program.
class Certificates {
 public:
  Certificates() {
    Run({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-keyout",
         folder_ / "authority.key", "-out", folder_ / "authority.pem", "-days", "3650", "-subj",
         "/CN=Skerrow Test Authority"});
    Run({"req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-keyout", folder_ / "server.key",
         "-out", folder_ / "server.csr", "-subj", "/CN=localhost"});
    Issue("valid", "subjectAltName=DNS:localhost,IP:127.0.0.1", "3650");
    // A negative lifetime puts the end of validity a day before its start.
    Issue("expired", "subjectAltName=DNS:localhost,IP:127.0.0.1", "-1");
    Issue("othername", "subjectAltName=DNS:other.example", "3650");
    Run({"req", "-x509", "-key", folder_ / "server.key", "-out", folder_ / "selfsigned.pem", "-days", "3650", "-subj",
         "/CN=localhost", "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1"});
  }

  std::string Authority() const { return folder_ / "authority.pem"; }
  std::string Key() const { return folder_ / "server.key"; }
  std::string Chain(ServerCertificate which) const {
    switch (which) {
      case ServerCertificate::kNone: break;
      case ServerCertificate::kValid: return folder_ / "valid.pem";
      case ServerCertificate::kExpired: return folder_ / "expired.pem";
      case ServerCertificate::kOtherName: return folder_ / "othername.pem";
      case ServerCertificate::kSelfSigned: return folder_ / "selfsigned.pem";
    }
    return {};
  }

 private:
  void Run(std::vector<std::string> args) {
    args.insert(args.begin(), "/usr/bin/openssl");
    ProcessResult result = RunProcess(args, {}, 30);
    if (result.exit_code != 0) throw std::runtime_error("openssl " + args[1] + " failed: " + result.err);
  }

  void Issue(const std::string& name, const std::string& names, const std::string& days) {
    WriteFile(folder_ / (name + ".ext"), names + "\n");
    Run({"x509", "-req", "-in", folder_ / "server.csr", "-CA", folder_ / "authority.pem", "-CAkey",
         folder_ / "authority.key", "-CAcreateserial", "-days", days, "-extfile", folder_ / (name + ".ext"), "-out",
         folder_ / (name + ".pem")});
  }

  TempDir folder_;
};

const Certificates& Made() {
  static const Certificates certificates;
  return certificates;
}

void Restore(const char* name, bool had, const std::string& value) {
  if (had)
    setenv(name, value.c_str(), 1);
  else
    unsetenv(name);
}

}  // namespace

const std::string& AuthorityFile() {
  static const std::string path = Made().Authority();
  return path;
}

TrustTestAuthority::TrustTestAuthority() {
  const char* file = std::getenv("SSL_CERT_FILE");
  const char* dir = std::getenv("SSL_CERT_DIR");
  had_file_ = file != nullptr;
  had_dir_ = dir != nullptr;
  if (file) saved_file_ = file;
  if (dir) saved_dir_ = dir;
  setenv("SSL_CERT_FILE", AuthorityFile().c_str(), 1);
  // An empty folder list, so the system's own authorities are not consulted.
  setenv("SSL_CERT_DIR", "/nonexistent", 1);
}

TrustTestAuthority::~TrustTestAuthority() {
  Restore("SSL_CERT_FILE", had_file_, saved_file_);
  Restore("SSL_CERT_DIR", had_dir_, saved_dir_);
}

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

int ListenOnLoopback(int* port, int backlog) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int yes = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, backlog) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    throw std::runtime_error("cannot listen on loopback");
  *port = ntohs(address.sin_port);
  return fd;
}

// One accepted connection, plain or over TLS, that gives up its waits when
// the server is being stopped.
class ScriptedServer::Connection {
 public:
  Connection(int fd, int stop_fd, SSL* ssl) : fd_(fd), stop_fd_(stop_fd), ssl_(ssl) {}

  bool Stopping() const {
    pollfd stop{stop_fd_, POLLIN, 0};
    return poll(&stop, 1, 0) > 0;
  }
  // True when bytes (or an end) can be read within the time; false on
  // timeout or when the server is being stopped.
  bool WaitReadable(int timeout_ms) const {
    if (ssl_ != nullptr && SSL_pending(ssl_) > 0) return true;
    pollfd watch[2] = {{fd_, POLLIN, 0}, {stop_fd_, POLLIN, 0}};
    if (poll(watch, 2, timeout_ms) <= 0) return false;
    return watch[1].revents == 0;
  }
  // Waits until the socket takes more bytes; false when the server is
  // stopping or the client has gone.
  bool WaitWritable() const {
    pollfd watch[2] = {{fd_, POLLOUT, 0}, {stop_fd_, POLLIN, 0}};
    if (poll(watch, 2, -1) < 0) return true;
    return watch[1].revents == 0 && (watch[0].revents & (POLLERR | POLLHUP)) == 0;
  }
  ssize_t Read(char* buffer, size_t size) const {
    if (ssl_ == nullptr) return recv(fd_, buffer, size, 0);
    return SSL_read(ssl_, buffer, static_cast<int>(size));
  }
  // As much of `bytes` as goes without waiting (all of it over TLS); -1
  // when the connection failed.
  ssize_t SendSome(const char* bytes, size_t size) const {
    if (ssl_ != nullptr) return SSL_write(ssl_, bytes, static_cast<int>(size)) == static_cast<int>(size) ? size : -1;
    ssize_t sent = send(fd_, bytes, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    return sent < 0 && errno == EAGAIN ? 0 : sent;
  }
  bool SendAll(const std::string& bytes) const {
    for (size_t done = 0; done < bytes.size();) {
      if (!WaitWritable()) return false;
      ssize_t sent = SendSome(bytes.data() + done, bytes.size() - done);
      if (sent < 0) return false;
      done += static_cast<size_t>(sent);
    }
    return true;
  }

 private:
  int fd_;
  int stop_fd_;
  SSL* ssl_;
};

int ScriptedServer::OnServerName(SSL* ssl, int*, void* self) {
  const char* name = SSL_get_servername(ssl, TLSEXT_NAMETYPE_host_name);
  static_cast<ScriptedServer*>(self)->hello_name_ = name != nullptr ? name : "";
  return SSL_TLSEXT_ERR_OK;
}

ScriptedServer::ScriptedServer(ServerOptions options) : options_(options) {
  if (options_.certificate != ServerCertificate::kNone) {
    const Certificates& made = Made();
    SSL_CTX* context = SSL_CTX_new(TLS_server_method());
    if (context == nullptr) throw std::runtime_error("SSL_CTX_new failed");
    context_ = context;
    if (options_.tls11_only) {
      // Old protocols are below every security level but the lowest.
      SSL_CTX_set_security_level(context, 0);
      SSL_CTX_set_cipher_list(context, "DEFAULT:@SECLEVEL=0");
      SSL_CTX_set_min_proto_version(context, TLS1_1_VERSION);
      SSL_CTX_set_max_proto_version(context, TLS1_1_VERSION);
    }
    if (SSL_CTX_use_certificate_chain_file(context, made.Chain(options_.certificate).c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(context, made.Key().c_str(), SSL_FILETYPE_PEM) != 1)
      throw std::runtime_error("cannot load the server certificate");
    SSL_CTX_set_tlsext_servername_callback(context, &OnServerName);
    SSL_CTX_set_tlsext_servername_arg(context, this);
  }
  listen_fd_ = ListenOnLoopback(&port_);
  if (pipe2(stop_pipe_, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  // A client that hangs up mid-reply must end that reply, not the test.
  signal(SIGPIPE, SIG_IGN);
  thread_ = std::thread([this] { Run(); });
}

ScriptedServer::~ScriptedServer() {
  (void)!write(stop_pipe_[1], "x", 1);
  int fd = connection_fd_.load();
  if (fd >= 0) shutdown(fd, SHUT_RDWR);
  thread_.join();
  close(listen_fd_);
  close(stop_pipe_[0]);
  close(stop_pipe_[1]);
  SSL_CTX_free(static_cast<SSL_CTX*>(context_));
}

void ScriptedServer::Route(const std::string& path, Reply reply) {
  std::lock_guard lock(mutex_);
  routes_[path] = std::move(reply);
}

std::vector<std::string> ScriptedServer::Requests() {
  std::lock_guard lock(mutex_);
  return requests_;
}

std::vector<std::string> ScriptedServer::ServerNames() {
  std::lock_guard lock(mutex_);
  return server_names_;
}

int ScriptedServer::Finished() {
  std::lock_guard lock(mutex_);
  return finished_;
}

void ScriptedServer::Run() {
  Connection listener(listen_fd_, stop_pipe_[0], nullptr);
  while (listener.WaitReadable(-1)) {
    int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    connection_fd_ = fd;
    Serve(fd);
    connection_fd_ = -1;
    close(fd);
    std::lock_guard lock(mutex_);
    ++finished_;
  }
}

namespace {

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

void ScriptedServer::Serve(int fd) {
  if (options_.stall_handshake) {
    // Takes what the client sends and then says nothing until it gives up.
    Connection silent(fd, stop_pipe_[0], nullptr);
    char sink[4096];
    while (silent.WaitReadable(-1) && read(fd, sink, sizeof sink) > 0) {
    }
    return;
  }
  std::unique_ptr<SSL, decltype(&SSL_free)> ssl(nullptr, &SSL_free);
  if (context_ != nullptr) {
    if (options_.hello_pause_ms > 0 && Connection(fd, stop_pipe_[0], nullptr).WaitReadable(-1))
      usleep(static_cast<useconds_t>(options_.hello_pause_ms) * 1000);
    timeval limit{kWaitMs / 1000, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    ssl.reset(SSL_new(static_cast<SSL_CTX*>(context_)));
    hello_name_.clear();
    SSL_set_fd(ssl.get(), fd);
    int accepted = SSL_accept(ssl.get());
    {
      std::lock_guard lock(mutex_);
      server_names_.push_back(hello_name_);
    }
    if (accepted != 1) {
      ERR_clear_error();
      return;
    }
  }
  Connection connection(fd, stop_pipe_[0], ssl.get());
  std::string request;
  char buffer[4096];
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
  while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536 &&
         std::chrono::steady_clock::now() < until) {
    if (!connection.WaitReadable(50)) continue;
    ssize_t got = connection.Read(buffer, sizeof buffer);
    if (got <= 0) {
      ERR_clear_error();
      return;
    }
    request.append(buffer, static_cast<size_t>(got));
  }
  size_t end = request.find("\r\n\r\n");
  if (end != std::string::npos) request.resize(end + 4);
  Reply reply{{Response("<html><body>Not Found</body></html>", "404 Not Found", "text/html")}};
  {
    std::lock_guard lock(mutex_);
    requests_.push_back(request);
    auto route = routes_.find(PathOf(request));
    if (route == routes_.end()) route = routes_.find("*");
    if (route != routes_.end()) reply = route->second;
  }
  Answer(connection, reply);
  if (ssl != nullptr && reply.close_notify && !reply.reset) SSL_shutdown(ssl.get());
  ERR_clear_error();
  if (reply.reset) {
    linger option{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &option, sizeof option);
  }
}

void ScriptedServer::Answer(Connection& connection, const Reply& reply) {
  for (size_t i = 0; i < reply.chunks.size(); ++i) {
    if (i > 0 && reply.pause_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(reply.pause_ms));
    if (!connection.SendAll(reply.chunks[i])) return;
  }
  for (long long sent = 0; !reply.filler.empty() && (reply.filler_bytes < 0 || sent < reply.filler_bytes);) {
    if (sent > 0 && reply.filler_pause_ms > 0) {
      pollfd stop{stop_pipe_[0], POLLIN, 0};
      if (poll(&stop, 1, reply.filler_pause_ms) > 0) return;
    }
    if (!connection.WaitWritable()) return;
    size_t n = reply.filler.size();
    if (reply.filler_bytes >= 0 && static_cast<long long>(n) > reply.filler_bytes - sent)
      n = static_cast<size_t>(reply.filler_bytes - sent);
    ssize_t done = connection.SendSome(reply.filler.data(), n);
    if (done < 0) return;
    sent += done;
  }
  if (reply.close || reply.reset) return;
  // Held open until the client goes or the server stops.
  char buffer[4096];
  while (connection.WaitReadable(-1) && connection.Read(buffer, sizeof buffer) > 0) {
  }
}

}  // namespace testsupport
