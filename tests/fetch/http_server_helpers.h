// Real peers for the download tests, on loopback: a small scripted HTTP
// server and a Debian tinyproxy in front of it. Built on the system's own
// sockets; the code under test sees only the Windows Sockets names.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace fetchtest {

// What the server does with one request.
struct Reply {
  std::vector<std::string> chunks;  // sent in order, each on its own
  int pause_ms = 20;                // between chunks, so they arrive apart
  bool close = true;                // close after the last chunk; else wait for the client
  bool reset = false;               // end with a reset instead of an orderly close
  // After the chunks: `filler` sent over and over, `filler_pause_ms` apart,
  // until `filler_bytes` have gone (-1: until the client goes), without
  // ever holding more than one filler in memory.
  std::string filler = {};
  long long filler_bytes = 0;
  int filler_pause_ms = 0;
};

// A full response: status line, optional content-length, then the body.
std::string Response(const std::string& body, const std::string& status = "200 OK",
                     const std::string& type = "application/octet-stream", bool with_length = true);
// A redirect with `status` (e.g. "302 Found") to `location`, with a small
// body that must never be kept.
std::string RedirectResponse(const std::string& status, const std::string& location);
// The same response cut into pieces of `piece` bytes.
std::vector<std::string> Pieces(const std::string& bytes, size_t piece);

class ScriptedServer {
 public:
  ScriptedServer();
  ~ScriptedServer();
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;

  int port() const { return port_; }
  // The reply for requests whose path (the absolute form's too) is `path`;
  // other paths get a 404 page.
  void Route(const std::string& path, Reply reply);
  // Every request received so far, each up to and with its blank line.
  std::vector<std::string> Requests();
  // How many connections have ended on the server's side.
  int Finished();

 private:
  void Run();
  void Serve(int fd);

  int listen_fd_ = -1;
  int port_ = 0;
  int stop_pipe_[2] = {-1, -1};
  std::mutex mutex_;
  std::map<std::string, Reply> routes_;
  std::vector<std::string> requests_;
  int finished_ = 0;
  std::thread thread_;
};

// tinyproxy started on a free loopback port with a config file written into
// `folder`; stopped when the object goes. port() is 0 when it did not start.
class Tinyproxy {
 public:
  explicit Tinyproxy(const std::string& folder);
  ~Tinyproxy();
  Tinyproxy(const Tinyproxy&) = delete;
  Tinyproxy& operator=(const Tinyproxy&) = delete;
  int port() const { return port_; }

 private:
  int pid_ = -1;
  int port_ = 0;
};

// A port on which nothing listens.
int UnusedPort();

// A loopback port whose queue of connections is full: the system drops
// further connection requests, as a host that swallows packets does.
class FullListener {
 public:
  FullListener();
  ~FullListener();
  FullListener(const FullListener&) = delete;
  FullListener& operator=(const FullListener&) = delete;
  int port() const { return port_; }

 private:
  int listen_fd_ = -1;
  int port_ = 0;
  std::vector<int> clients_;
};

}  // namespace fetchtest
