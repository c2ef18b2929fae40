#include "http_server_helpers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

namespace fetchtest {
using testsupport::ListenOnLoopback;

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
  proxy_ = std::make_unique<testsupport::Child>(std::vector<std::string>{"/usr/bin/tinyproxy", "-d", "-c", config});
  // Ready once it accepts a connection.
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  auto up = [&] {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bool accepted = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return accepted;
  };
  if (testsupport::WaitFor([&] { return up() || proxy_->Ended(); }, 10000, 50) && !proxy_->Ended()) port_ = port;
}

Tinyproxy::~Tinyproxy() = default;

}  // namespace fetchtest
