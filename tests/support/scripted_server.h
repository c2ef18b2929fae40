// A scripted HTTP server on loopback for the tests: routes, a record of the
// requests, and replies cut and paced as a test asks. It speaks plain HTTP,
// or TLS with certificates made by the `openssl` command: a test authority
// and server certificates that are good for "localhost" and 127.0.0.1,
// expired, for another name, or self-signed. The code under test trusts
// the authority through SSL_CERT_FILE (see TrustTestAuthority).
#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct ssl_st;

namespace testsupport {

enum class ServerCertificate {
  kNone,        // plain HTTP
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
  ServerCertificate certificate = ServerCertificate::kNone;
  bool tls11_only = false;       // speaks TLS 1.1 and nothing newer
  bool stall_handshake = false;  // reads what the client sends and never answers
  int hello_pause_ms = 0;        // waits this long after the client's hello before answering
};

// TLS with the certificate good for this machine.
inline constexpr ServerOptions kTls{ServerCertificate::kValid};

// What the server does with one request.
struct Reply {
  std::vector<std::string> chunks;  // sent in order, each on its own (one TLS record each, up to 16 KiB)
  int pause_ms = 20;                // between chunks, so they arrive apart
  bool close = true;                // close after the last chunk; else wait for the client
  bool reset = false;               // end with a reset instead of an orderly close
  // After the chunks: `filler` sent over and over, `filler_pause_ms` apart,
  // until `filler_bytes` have gone (-1: until the client goes), without
  // ever holding more than one filler in memory.
  std::string filler = {};
  long long filler_bytes = 0;
  int filler_pause_ms = 0;
  bool close_notify = true;  // over TLS: end with close_notify; else just close the socket
};

// A full response: status line, optional content-length, then the body.
std::string Response(const std::string& body, const std::string& status = "200 OK",
                     const std::string& type = "application/octet-stream", bool with_length = true);
// A redirect with `status` (e.g. "302 Found") to `location`, with a small
// body that must never be kept.
std::string RedirectResponse(const std::string& status, const std::string& location);
// The same bytes cut into pieces of `piece` bytes.
std::vector<std::string> Pieces(const std::string& bytes, size_t piece);
// A socket listening on 127.0.0.1 at a port of the system's choosing.
int ListenOnLoopback(int* port, int backlog = 16);

class ScriptedServer {
 public:
  explicit ScriptedServer(ServerOptions options = {});
  ~ScriptedServer();
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;

  int port() const { return port_; }
  // The reply for requests whose path (the absolute form's too) is `path`;
  // "*" answers any path. Other paths get a 404 page.
  void Route(const std::string& path, Reply reply);
  // Every request received so far, each up to and with its blank line.
  std::vector<std::string> Requests();
  // Over TLS: the server name each connection's hello carried, "" when none.
  std::vector<std::string> ServerNames();
  // How many connections have ended on the server's side.
  int Finished();

 private:
  class Connection;
  void Run();
  void Serve(int fd);
  void Answer(Connection& connection, const Reply& reply);
  static int OnServerName(struct ssl_st* ssl, int* alert, void* self);

  ServerOptions options_;
  void* context_ = nullptr;  // the server's SSL_CTX over TLS
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

}  // namespace testsupport
