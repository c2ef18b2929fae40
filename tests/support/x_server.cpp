#include "x_server.h"

#include <X11/Xlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <utility>
#include <vector>

namespace testsupport {
namespace {

bool TrayOwned(const std::string& display) {
  Display* x = XOpenDisplay(display.c_str());
  if (x == nullptr) return false;
  Atom selection = XInternAtom(x, "_NET_SYSTEM_TRAY_S0", False);
  bool owned = XGetSelectionOwner(x, selection) != 0;
  XCloseDisplay(x);
  return owned;
}

std::pair<int, int> ScreenSize(const std::string& display) {
  Display* x = XOpenDisplay(display.c_str());
  if (x == nullptr) return {0, 0};
  std::pair<int, int> size{DisplayWidth(x, DefaultScreen(x)), DisplayHeight(x, DefaultScreen(x))};
  XCloseDisplay(x);
  return size;
}

}  // namespace

XServer::XServer(const std::string& screen, bool with_tray) {
  // Display numbers are shared beyond this machine's folders (abstract
  // sockets), so servers others start from 0 up could answer for ours: a
  // high number of this process's own, checked to be free, a screen size
  // to tell our server by, and a number found taken stays held while the
  // next is tried.
  int width = 700 + static_cast<int>(getpid() % 200), height = 500 + static_cast<int>(getpid() % 100);
  std::string size = std::to_string(width) + "x" + std::to_string(height) + "x24";
  if (!screen.empty() && std::sscanf(screen.c_str(), "%dx%d", &width, &height) == 2) size = screen;
  std::vector<std::unique_ptr<Child>> taken;
  for (int attempt = 0; attempt < 6 && !server_; ++attempt) {
    int number = 300 + static_cast<int>((getpid() * 7 + attempt * 131) % 5000);
    std::string display = ":" + std::to_string(number);
    if (ScreenSize(display).first != 0) continue;  // someone's server answers there
    // Xvfb writes the display's number to descriptor 3 once it takes clients.
    auto server = std::make_unique<Child>(
        std::vector<std::string>{"Xvfb", display, "-displayfd", "3", "-screen", "0", size, "-nolisten", "tcp",
                                 "-noreset"},
        ChildOptions{.line_fd = 3, .own_group = true});
    bool up = server->NextLine(10000).has_value() &&
              WaitFor([&] { return ScreenSize(display) == std::make_pair(width, height); }, 5000);
    if (up) display_ = display;
    (up ? server_ : taken.emplace_back()) = std::move(server);
  }
  if (!server_) throw std::runtime_error("Xvfb did not start");
  setenv("DISPLAY", display_.c_str(), 1);
  ok_ = !with_tray;
  // The tray host now and then never takes the tray on a fresh server; a
  // new one is started rather than waiting for it longer.
  for (int attempt = 0; attempt < 3 && !ok_; ++attempt) {
    tray_ = std::make_unique<Child>(std::vector<std::string>{
        "trayer", "--edge", "top", "--align", "right", "--widthtype", "pixel", "--width", "120", "--heighttype",
        "pixel", "--height", "24", "--SetDockType", "false", "--transparent", "false"});
    ok_ = WaitFor([this] { return TrayOwned(display_); }, 7000);
  }
}

XServer::~XServer() {
  tray_.reset();
  server_.reset();
  unsetenv("DISPLAY");
}

}  // namespace testsupport
