// A TLS server on loopback for the tests, with certificates made by the
// `openssl` command: a test authority and server certificates that are
// good for "localhost" and 127.0.0.1, expired, for another name, or
// self-signed. The code under test trusts the authority through
// SSL_CERT_FILE (see TrustTestAuthority).
#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct ssl_st;

namespace tlstest {

enum class ServerCertificate {
  kValid,       // issued by the test authority for localhost and 127.0.0.1
  kExpired,     // the same names, validity ended
  kOtherName,   // issued by the test authority for other.example only
  kSelfSigned,  // for localhost, but signed by itself
};

// The test authority's certificate, as a PEM file path.
const std::string& AuthorityFile();

// Makes the test authority the only one trusted while alive (SSL_CERT_FILE,
// with SSL_CERT_DIR emptied); the former values come back afterwards.
class TrustTestAuthority {
 public:
  TrustTestAuthority();
  ~TrustTestAuthority();
  TrustTestAuthority(const TrustTestAuthority&) = delete;
  TrustTestAuthority& operator=(const TrustTestAuthority&) = delete;

 private:
  std::string saved_file_, saved_dir_;
  bool had_file_ = false, had_dir_ = false;
};

struct ServerOptions {
  ServerCertificate certificate = ServerCertificate::kValid;
  bool tls11_only = false;       // speaks TLS 1.1 and nothing newer
  bool stall_handshake = false;  // reads the client's hello and never answers
  int hello_pause_ms = 0;        // waits this long after the client's hello before answering
};

// What the server sends for one request after the handshake.
struct Reply {
  std::string bytes;          // the whole HTTP response
  size_t record_size = 16384;  // one TLS record per this many bytes
  int pause_ms = 0;            // between records, so they arrive apart
  bool close_notify = true;    // end with close_notify; else just close the socket
};

// An HTTP response: status line, content-length, blank line, body.
std::string Response(const std::string& body, const std::string& status = "200 OK");

class TlsTestServer {
 public:
  explicit TlsTestServer(ServerOptions options = {});
  ~TlsTestServer();
  TlsTestServer(const TlsTestServer&) = delete;
  TlsTestServer& operator=(const TlsTestServer&) = delete;

  int port() const { return port_; }
  // The reply for requests whose path (the target of the request line) is
  // `path`; "*" answers any path. Other paths get a 404 page.
  void Route(const std::string& path, Reply reply);
  // Every request read so far, each up to and with its blank line.
  std::vector<std::string> Requests();
  // The server name each connection's hello carried, "" when none.
  std::vector<std::string> ServerNames();
  // How many connections have ended on the server's side.
  int Finished();

 private:
  void Run();
  void Serve(int fd);
  bool WaitReadable(int fd, int timeout_ms);
  static int OnServerName(struct ssl_st* ssl, int* alert, void* self);

  ServerOptions options_;
  void* context_ = nullptr;  // the server's SSL_CTX
  int listen_fd_ = -1;
  int port_ = 0;
  int stop_pipe_[2] = {-1, -1};
  std::mutex mutex_;
  std::map<std::string, Reply> routes_;
  std::vector<std::string> requests_;
  std::vector<std::string> server_names_;
  int finished_ = 0;
  std::atomic<int> connection_fd_{-1};  // so that stopping can cut a read short
  std::string hello_name_;              // set by the server-name callback
  std::thread thread_;
};

}  // namespace tlstest
