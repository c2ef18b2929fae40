#include "x11_session_helpers.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <utility>
#include <thread>

extern char** environ;

namespace desktoptest {
namespace {

// One short-lived connection per request: the tests' own, never Qt's.
class Connection {
 public:
  Connection() : display_(XOpenDisplay(nullptr)) {}
  ~Connection() {
    if (display_ != nullptr) XCloseDisplay(display_);
  }
  Display* get() const { return display_; }

 private:
  Display* display_;
};

void SetWmState(unsigned long window, long state) {
  Connection x;
  if (x.get() == nullptr) return;
  Atom wm_state = XInternAtom(x.get(), "WM_STATE", False);
  long data[2] = {state, 0};
  XChangeProperty(x.get(), window, wm_state, wm_state, 32, PropModeReplace,
                  reinterpret_cast<unsigned char*>(data), 2);
  XSync(x.get(), False);
}

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

void Collect(Display* x, ::Window window, Atom name_atom, const std::string& title, std::vector<unsigned long>* found,
             int depth) {
  unsigned char* value = nullptr;
  Atom type;
  int format;
  unsigned long count, after;
  if (XGetWindowProperty(x, window, name_atom, 0, 1024, False, AnyPropertyType, &type, &format, &count, &after,
                         &value) == Success &&
      value != nullptr) {
    if (std::string(reinterpret_cast<char*>(value), count) == title) found->push_back(window);
    XFree(value);
  }
  if (depth == 0) return;
  ::Window root, parent, *children = nullptr;
  unsigned int n = 0;
  if (XQueryTree(x, window, &root, &parent, &children, &n) == 0) return;
  for (unsigned int i = 0; i < n; ++i) Collect(x, children[i], name_atom, title, found, depth - 1);
  if (children != nullptr) XFree(children);
}

}  // namespace

bool WaitFor(const std::function<bool()>& done, int ms, int step_ms) {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(step_ms));
  }
  return true;
}

Child::Child(const std::vector<std::string>& argv, int keep_fd) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  if (keep_fd < 0) posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::vector<std::string> copies = argv;
  std::vector<char*> pointers;
  for (auto& s : copies) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  if (posix_spawnp(&pid_, pointers[0], &actions, nullptr, pointers.data(), environ) != 0) pid_ = -1;
  posix_spawn_file_actions_destroy(&actions);
}

Child::~Child() {
  if (pid_ <= 0 || Ended()) return;
  kill(pid_, SIGTERM);
  if (!WaitFor([this] { return Ended(); }, 2000)) {
    kill(pid_, SIGKILL);
    waitpid(pid_, &status_, 0);
  }
}

bool Child::Ended(int* code) {
  if (pid_ <= 0) return true;
  if (!ended_ && waitpid(pid_, &status_, WNOHANG) == pid_) ended_ = true;
  if (ended_ && code != nullptr) *code = WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
  return ended_;
}

XSession::XSession(bool with_tray) {
  // Display numbers are shared beyond this machine's folders (abstract
  // sockets), so servers others start from 0 up could answer for ours: a
  // high number of this process's own, a screen size of its own to tell
  // our server by, and a number found taken stays held while the next is
  // tried.
  int width = 700 + static_cast<int>(getpid() % 200), height = 500 + static_cast<int>(getpid() % 100);
  std::vector<std::unique_ptr<Child>> taken;
  for (int attempt = 0; attempt < 6 && !ok_; ++attempt) {
    int number = 300 + static_cast<int>((getpid() * 7 + attempt * 131) % 5000);
    if (ScreenSize(":" + std::to_string(number)).first != 0) continue;  // someone's server answers there
    int fds[2];
    if (pipe(fds) != 0) return;
    // Xvfb writes the display's number to this pipe once it takes clients.
    auto server = std::make_unique<Child>(
        std::vector<std::string>{"Xvfb", ":" + std::to_string(number), "-displayfd", std::to_string(fds[1]),
                                 "-screen", "0", std::to_string(width) + "x" + std::to_string(height) + "x24",
                                 "-nolisten", "tcp"},
        fds[1]);
    close(fds[1]);
    std::string written;
    pollfd wait{fds[0], POLLIN, 0};
    char c;
    while (poll(&wait, 1, 10000) > 0 && read(fds[0], &c, 1) == 1 && c != '\n') written += c;
    close(fds[0]);
    display_ = ":" + std::to_string(number);
    ok_ = !written.empty() && WaitFor([&] { return ScreenSize(display_) == std::make_pair(width, height); }, 5000);
    (ok_ ? server_ : taken.emplace_back()) = std::move(server);
  }
  if (!ok_) return;
  setenv("DISPLAY", display_.c_str(), 1);
  if (!with_tray) return;
  // The tray host now and then never takes the tray on a fresh server; a
  // new one is started rather than waiting for it longer.
  ok_ = false;
  for (int attempt = 0; attempt < 3 && !ok_; ++attempt) {
    tray_ = std::make_unique<Child>(std::vector<std::string>{
        "trayer", "--edge", "top", "--align", "right", "--widthtype", "pixel", "--width", "120", "--heighttype",
        "pixel", "--height", "24", "--SetDockType", "false", "--transparent", "false"});
    ok_ = WaitFor([this] { return TrayOwned(display_); }, 7000);
  }
}

XSession::~XSession() {
  tray_.reset();
  server_.reset();
}

void Iconify(unsigned long window) { SetWmState(window, IconicState); }

void RequestClose(unsigned long window) {
  Connection x;
  if (x.get() == nullptr) return;
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = window;
  event.xclient.message_type = XInternAtom(x.get(), "WM_PROTOCOLS", False);
  event.xclient.format = 32;
  event.xclient.data.l[0] = static_cast<long>(XInternAtom(x.get(), "WM_DELETE_WINDOW", False));
  event.xclient.data.l[1] = CurrentTime;
  XSendEvent(x.get(), window, False, NoEventMask, &event);
  XSync(x.get(), False);
}

std::vector<unsigned long> WindowsNamed(const std::string& title) {
  std::vector<unsigned long> found;
  Connection x;
  if (x.get() == nullptr) return found;
  Atom name = XInternAtom(x.get(), "_NET_WM_NAME", False);
  Collect(x.get(), DefaultRootWindow(x.get()), name, title, &found, 1);
  return found;
}

WindowWatch::WindowWatch() : display_(XOpenDisplay(nullptr)) {}

WindowWatch::~WindowWatch() {
  if (display_ != nullptr) XCloseDisplay(static_cast<Display*>(display_));
}

bool WindowWatch::Shows(const std::string& title) {
  auto* x = static_cast<Display*>(display_);
  if (x == nullptr) return false;
  std::vector<unsigned long> found;
  Collect(x, DefaultRootWindow(x), XInternAtom(x, "_NET_WM_NAME", False), title, &found, 1);
  XWindowAttributes attributes{};
  return !found.empty() && XGetWindowAttributes(x, found.front(), &attributes) != 0 &&
         attributes.map_state == IsViewable;
}

bool Viewable(unsigned long window) {
  Connection x;
  XWindowAttributes attributes{};
  return x.get() != nullptr && XGetWindowAttributes(x.get(), window, &attributes) != 0 &&
         attributes.map_state == IsViewable;
}

bool Embedded(unsigned long window) {
  Connection x;
  if (x.get() == nullptr) return false;
  ::Window root, parent, *children = nullptr;
  unsigned int n = 0;
  if (XQueryTree(x.get(), window, &root, &parent, &children, &n) == 0) return false;
  if (children != nullptr) XFree(children);
  return parent != root;
}

}  // namespace desktoptest
