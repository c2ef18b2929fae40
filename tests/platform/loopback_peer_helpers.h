// The far end of a loopback TCP connection, on the system's own sockets, for
// tests whose code sees only the Windows Sockets names.
#pragma once

#include <string_view>

namespace peertest {

// A listening socket on 127.0.0.1 with a port of the system's choosing.
class Listener {
 public:
  Listener();
  ~Listener();
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;
  int port() const { return port_; }
  // The next connection, or -1 when none comes within `timeout_ms`.
  int Accept(int timeout_ms = 2000);

 private:
  int fd_ = -1;
  int port_ = 0;
};

void SendAll(int fd, std::string_view bytes);
void Close(int fd);
// Ends the connection with a reset instead of an orderly close.
void Reset(int fd);
// A port on which nothing listens.
int UnusedPort();

}  // namespace peertest
