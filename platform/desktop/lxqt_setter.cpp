// LXQt and LXDE: their desktop belongs to the file manager, which takes a
// new wallpaper on its command line and hands it to the running instance.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "desktop_setter.h"

extern char** environ;

namespace layer {
namespace {

constexpr auto kDeadline = std::chrono::milliseconds(2000);
constexpr const char* kCommands[] = {"pcmanfm-qt", "pcmanfm"};
// --wallpaper-mode for each placement, in WallpaperFit's order. The file
// manager spans a picture only by stretching it over the whole desktop,
// which is exact for the composite the layer lays out over the monitors.
constexpr const char* kWallpaperModes[] = {nullptr, "zoom", "fit", "stretch", "center", "tile", "stretch"};

// The full path of `command` on PATH, empty when it is not there.
std::string FindCommand(const char* command) {
  const char* path = std::getenv("PATH");
  std::string rest = path != nullptr ? path : "/usr/bin:/bin";
  for (size_t at = 0; at <= rest.size();) {
    size_t colon = rest.find(':', at);
    if (colon == std::string::npos) colon = rest.size();
    std::string folder = rest.substr(at, colon - at);
    std::string candidate = (folder.empty() ? "." : folder) + "/" + command;
    struct stat info{};
    if (stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) && access(candidate.c_str(), X_OK) == 0)
      return candidate;
    at = colon + 1;
  }
  return std::string();
}

std::string FileManager() {
  for (const char* command : kCommands) {
    std::string found = FindCommand(command);
    if (!found.empty()) return found;
  }
  return std::string();
}

bool CanRun() { return !FileManager().empty(); }

// Runs the command in a process group of its own, so that on the deadline
// everything it started goes with it; the child is always reaped.
bool Show(const char* path, WallpaperFit fit, std::string* why) {
  std::string command = FileManager();
  if (command.empty()) {
    *why = "neither pcmanfm-qt nor pcmanfm is on PATH";
    return false;
  }
  std::string name = command.substr(command.rfind('/') + 1);
  std::string mode = fit != WallpaperFit::kKeep ? std::string("--wallpaper-mode=") + kWallpaperModes[static_cast<int>(fit)]
                                                : std::string();
  char* argv[] = {name.data(), const_cast<char*>("--set-wallpaper"), const_cast<char*>(path),
                  fit != WallpaperFit::kKeep ? mode.data() : nullptr, nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  for (int fd : {0, 1, 2}) posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  posix_spawnattr_setpgroup(&attributes, 0);
  sigset_t signals;
  sigemptyset(&signals);
  posix_spawnattr_setsigmask(&attributes, &signals);
  sigaddset(&signals, SIGPIPE);  // ignored here, but the child should die of it as usual
  posix_spawnattr_setsigdefault(&attributes, &signals);
  pid_t child = -1;
  int spawned = posix_spawn(&child, command.c_str(), &actions, &attributes, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (spawned != 0) {
    *why = name + " could not be started: " + std::strerror(spawned);
    return false;
  }
  auto deadline = std::chrono::steady_clock::now() + kDeadline;
  int status = 0;
  for (;;) {
    pid_t done = waitpid(child, &status, WNOHANG);
    if (done == child) break;
    if (done < 0 && errno != EINTR) {
      *why = name + " vanished";
      return false;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(-child, SIGKILL);
      while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
      }
      *why = name + " did not answer within 2 seconds";
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    *why = name + " refused the wallpaper (" +
           (WIFEXITED(status) ? "exit status " + std::to_string(WEXITSTATUS(status)) : std::string("killed")) + ")";
    return false;
  }
  return true;
}

}  // namespace

const DesktopSetter kLxqtDesktop = {"lxqt", CanRun, Show, true, nullptr, nullptr};

}  // namespace layer
