#include "desktop_helpers.h"

#include <windows.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>

#include "layer_control.h"

namespace desktoptest {
namespace {

// These programs are not the program, so they show the layer where the build
// put its modules (beside the program).
[[maybe_unused]] const bool kModulesNamed = (LayerSetModuleFolder(SKERROW_BUILD_DIR "/app"), true);

// Starts a program whose first line on `fd_for_line` is what we wait for
// (an address, a display number), and returns that line.
pid_t StartAndReadLine(std::vector<std::string> argv, int line_fd_in_child, std::string* line) {
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  pid_t child = fork();
  if (child == 0) {
    dup2(pipe_fds[1], line_fd_in_child);
    int null_fd = open("/dev/null", O_RDWR);
    dup2(null_fd, 0);
    if (line_fd_in_child != 1) dup2(null_fd, 1);
    dup2(null_fd, 2);
    setpgid(0, 0);  // its helpers go with it
    prctl(PR_SET_PDEATHSIG, SIGKILL);  // and it goes with a test that crashed
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  close(pipe_fds[1]);
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  while (line->find('\n') == std::string::npos && std::chrono::steady_clock::now() < until) {
    pollfd watch{pipe_fds[0], POLLIN, 0};
    if (poll(&watch, 1, 100) <= 0) continue;
    char buffer[256];
    ssize_t got = read(pipe_fds[0], buffer, sizeof buffer);
    if (got <= 0) break;
    line->append(buffer, static_cast<size_t>(got));
  }
  close(pipe_fds[0]);
  if (line->find('\n') == std::string::npos) {
    kill(-child, SIGKILL);
    waitpid(child, nullptr, 0);
    throw std::runtime_error(argv[0] + " did not start");
  }
  line->erase(line->find('\n'));
  return child;
}

void Stop(pid_t child) {
  if (child <= 0) return;
  kill(-child, SIGTERM);
  kill(child, SIGTERM);
  for (int i = 0; i < 300; ++i) {
    if (waitpid(child, nullptr, WNOHANG) == child) return;
    usleep(10000);
  }
  kill(-child, SIGKILL);
  waitpid(child, nullptr, 0);
}

}  // namespace

BackgroundProgram::BackgroundProgram(const std::vector<std::string>& argv, int line_fd)
    : pid_(StartAndReadLine(argv, line_fd, &line_)) {}
BackgroundProgram::~BackgroundProgram() { Stop(pid_); }

SessionBus::SessionBus() {
  for (const char* folder : {"config", "runtime", "cache"}) mkdir((folder_ / folder).c_str(), 0700);
  setenv("XDG_CONFIG_HOME", (folder_ / "config").c_str(), 1);
  setenv("XDG_RUNTIME_DIR", (folder_ / "runtime").c_str(), 1);
  setenv("XDG_CACHE_HOME", (folder_ / "cache").c_str(), 1);
  testsupport::WriteFile(folder_ / "bus.conf",
                         "<busconfig><type>session</type><listen>unix:dir=" + folder_.path() + "</listen>"
                         "<standard_session_servicedirs/>"
                         "<policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
                         "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n");
  daemon_ = std::make_unique<BackgroundProgram>(
      std::vector<std::string>{"/usr/bin/dbus-daemon", "--config-file=" + folder_ / "bus.conf", "--nofork",
                               "--print-address=3"},
      3);
  address_ = daemon_->line();
  setenv("DBUS_SESSION_BUS_ADDRESS", address_.c_str(), 1);
}

SessionBus::~SessionBus() {
  // Services started on the bus leave when it goes.
  daemon_.reset();
  unsetenv("DBUS_SESSION_BUS_ADDRESS");
}

std::string SessionBus::Run(const std::vector<std::string>& argv) {
  auto result = testsupport::RunProcess(argv, {"DBUS_SESSION_BUS_ADDRESS=" + address_}, 20);
  std::string out = result.out;
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  return out;
}

XServer::XServer(const std::string& screen)
    : server_({"/usr/bin/Xvfb", "-displayfd", "3", "-screen", "0", screen, "-nolisten", "tcp", "-noreset"}, 3),
      display_(":" + server_.line()) {
  setenv("DISPLAY", display_.c_str(), 1);
}

XServer::~XServer() { unsetenv("DISPLAY"); }

std::string DrawBitmap(const std::string& path, int width, int height, int variant) {
  auto result = testsupport::RunPython(
      "import sys\nfrom PIL import Image\n"
      "w, h, v = int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])\n"
      "im = Image.new('RGB', (w, h))\n"
      "im.putdata([((x * 255 // w + 80 * v) % 256, (y * 255 // h + 40 * v) % 256, ((x + y) * 127 // (w + h) + 60 * v) % 256)"
      " for y in range(h) for x in range(w)])\n"
      "im.save(sys.argv[1], 'BMP')\n",
      {path, std::to_string(width), std::to_string(height), std::to_string(variant)});
  if (result.exit_code != 0) throw std::runtime_error("Pillow failed: " + result.err);
  return path;
}

std::string ChooseDesktop(const char* requested) {
  ScopedEnv wanted("SKERROW_DESKTOP", requested);
  testsupport::StderrCapture capture;
  LayerChooseDesktop();
  return capture.Finish();
}

std::string SetWallpaper(const std::string& bitmap, std::string* said) {
  testsupport::StderrCapture capture;
  BOOL done = SystemParametersInfoA(SPI_SETDESKWALLPAPER, 0, const_cast<char*>(bitmap.c_str()), 0);
  std::string text = capture.Finish();
  if (said != nullptr) *said = text;
  return done ? LayerWallpaperStorePath() : std::string();
}

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

ScopedEnv::ScopedEnv(const char* name, const char* value) : name_(name) {
  const char* old = std::getenv(name);
  had_ = old != nullptr;
  if (had_) old_ = old;
  if (value != nullptr)
    setenv(name, value, 1);
  else
    unsetenv(name);
}

ScopedEnv::~ScopedEnv() {
  if (had_)
    setenv(name_.c_str(), old_.c_str(), 1);
  else
    unsetenv(name_.c_str());
}

}  // namespace desktoptest
