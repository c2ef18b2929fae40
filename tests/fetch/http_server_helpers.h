// Real peers for the download tests, on loopback: the scripted HTTP server
// and a Debian tinyproxy in front of it. Built on the system's own sockets;
// the code under test sees only the Windows Sockets names.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "child_process.h"
#include "scripted_server.h"

namespace fetchtest {

// The loopback server is the suites' shared one.
using testsupport::Pieces;
using testsupport::RedirectResponse;
using testsupport::Reply;
using testsupport::Response;
using testsupport::ScriptedServer;

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
  std::unique_ptr<testsupport::Child> proxy_;
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
