#include "tls_test_server.h"

#include <arpa/inet.h>
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

namespace tlstest {

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
    testsupport::ProcessResult result = testsupport::RunProcess(args, {}, 30);
    if (result.exit_code != 0) throw std::runtime_error("openssl " + args[1] + " failed: " + result.err);
  }

  void Issue(const std::string& name, const std::string& names, const std::string& days) {
    testsupport::WriteFile(folder_ / (name + ".ext"), names + "\n");
    Run({"x509", "-req", "-in", folder_ / "server.csr", "-CA", folder_ / "authority.pem", "-CAkey",
         folder_ / "authority.key", "-CAcreateserial", "-days", days, "-extfile", folder_ / (name + ".ext"), "-out",
         folder_ / (name + ".pem")});
  }

  testsupport::TempDir folder_;
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

std::string Response(const std::string& body, const std::string& status) {
  return "HTTP/1.0 " + status + "\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\n\r\n" + body;
}

int TlsTestServer::OnServerName(SSL* ssl, int*, void* self) {
  const char* name = SSL_get_servername(ssl, TLSEXT_NAMETYPE_host_name);
  static_cast<TlsTestServer*>(self)->hello_name_ = name != nullptr ? name : "";
  return SSL_TLSEXT_ERR_OK;
}

TlsTestServer::TlsTestServer(ServerOptions options) : options_(options) {
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

  listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (listen_fd_ < 0 || bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listen_fd_, 16) != 0 || getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
      pipe2(stop_pipe_, O_CLOEXEC) != 0)
    throw std::runtime_error("cannot listen on loopback");
  port_ = ntohs(address.sin_port);
  // A client that hangs up mid-reply must end that reply, not the test.
  signal(SIGPIPE, SIG_IGN);
  thread_ = std::thread([this] { Run(); });
}

TlsTestServer::~TlsTestServer() {
  (void)!write(stop_pipe_[1], "x", 1);
  int fd = connection_fd_.load();
  if (fd >= 0) shutdown(fd, SHUT_RDWR);
  thread_.join();
  close(listen_fd_);
  close(stop_pipe_[0]);
  close(stop_pipe_[1]);
  SSL_CTX_free(static_cast<SSL_CTX*>(context_));
}

void TlsTestServer::Route(const std::string& path, Reply reply) {
  std::lock_guard<std::mutex> lock(mutex_);
  routes_[path] = std::move(reply);
}

std::vector<std::string> TlsTestServer::Requests() {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

std::vector<std::string> TlsTestServer::ServerNames() {
  std::lock_guard<std::mutex> lock(mutex_);
  return server_names_;
}

int TlsTestServer::Finished() {
  std::lock_guard<std::mutex> lock(mutex_);
  return finished_;
}

// True when `fd` has bytes (or an end) within the time; false on timeout or
// when the server is being stopped.
bool TlsTestServer::WaitReadable(int fd, int timeout_ms) {
  pollfd watch[2] = {{fd, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
  if (poll(watch, 2, timeout_ms) <= 0) return false;
  return (watch[1].revents & POLLIN) == 0;
}

void TlsTestServer::Run() {
  while (WaitReadable(listen_fd_, -1)) {
    int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    connection_fd_ = fd;
    Serve(fd);
    connection_fd_ = -1;
    close(fd);
    std::lock_guard<std::mutex> lock(mutex_);
    ++finished_;
  }
}

void TlsTestServer::Serve(int fd) {
  timeval limit{kWaitMs / 1000, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  if (options_.stall_handshake) {
    // Takes the hello and then says nothing until the client gives up.
    char sink[4096];
    while (WaitReadable(fd, -1) && read(fd, sink, sizeof sink) > 0) {
    }
    return;
  }
  if (options_.hello_pause_ms > 0 && WaitReadable(fd, -1)) usleep(static_cast<useconds_t>(options_.hello_pause_ms) * 1000);
  std::unique_ptr<SSL, decltype(&SSL_free)> ssl(SSL_new(static_cast<SSL_CTX*>(context_)), &SSL_free);
  hello_name_.clear();
  SSL_set_fd(ssl.get(), fd);
  int accepted = SSL_accept(ssl.get());
  {
    std::lock_guard<std::mutex> lock(mutex_);
    server_names_.push_back(hello_name_);
  }
  if (accepted != 1) {
    ERR_clear_error();
    return;
  }
  std::string request;
  char chunk[4096];
  while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536) {
    int got = SSL_read(ssl.get(), chunk, sizeof chunk);
    if (got <= 0) break;
    request.append(chunk, static_cast<size_t>(got));
  }
  size_t end = request.find("\r\n\r\n");
  if (end == std::string::npos) {
    ERR_clear_error();
    return;
  }
  request.resize(end + 4);
  size_t path_start = request.find(' ');
  size_t path_end = path_start == std::string::npos ? path_start : request.find(' ', path_start + 1);
  std::string path = path_end == std::string::npos ? "" : request.substr(path_start + 1, path_end - path_start - 1);
  Reply reply{Response("<html>not here</html>", "404 Not Found")};
  {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(request);
    auto found = routes_.find(path);
    if (found == routes_.end()) found = routes_.find("*");
    if (found != routes_.end()) reply = found->second;
  }
  size_t step = reply.record_size == 0 ? reply.bytes.size() : reply.record_size;
  for (size_t at = 0; at < reply.bytes.size(); at += step) {
    if (at > 0 && reply.pause_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(reply.pause_ms));
    int length = static_cast<int>(std::min(step, reply.bytes.size() - at));
    if (SSL_write(ssl.get(), reply.bytes.data() + at, length) != length) break;
  }
  if (reply.close_notify) SSL_shutdown(ssl.get());
  ERR_clear_error();
}

}  // namespace tlstest
