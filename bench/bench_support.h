// Timing and process helpers the benchmarks share, and the scratch folder
// every benchmark keeps its settings, state and cache in.
#pragma once

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace bench {

// What a benchmark leaves to be ended when it exits, however it exits.
struct Leftovers {
  std::string folder;           // the scratch folder, removed last
  std::vector<pid_t> children;  // processes it started and has not ended
};

inline Leftovers& AtExit();

// SIGTERM to each child left, SIGKILL to one still there after two
// seconds; then the scratch folder goes.
inline void EndLeftovers() {
  Leftovers& left = AtExit();
  for (pid_t pid : left.children) kill(pid, SIGTERM);
  for (pid_t pid : left.children) {
    pid_t ended = 0;
    for (int waited = 0; (ended = waitpid(pid, nullptr, WNOHANG)) == 0 && waited < 200; ++waited) usleep(10000);
    if (ended == 0 && kill(pid, SIGKILL) == 0) waitpid(pid, nullptr, 0);
  }
  left.children.clear();
  if (left.folder.empty()) return;
  std::error_code ignored;
  std::filesystem::current_path("/", ignored);
  std::filesystem::remove_all(left.folder, ignored);
}

inline Leftovers& AtExit() {
  static Leftovers left;
  // Registered after `left` is made, so it runs while `left` still lives:
  // at a return from main and at every exit().
  [[maybe_unused]] static const bool registered = std::atexit(EndLeftovers) == 0;
  return left;
}

// `pid` is ended when the benchmark exits, unless Stop ended it first.
inline void EndAtExit(pid_t pid) {
  if (pid > 0) AtExit().children.push_back(pid);
}

// Ends `pid` now and waits for it.
inline void Stop(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
  std::erase(AtExit().children, pid);
}

// The benchmark's scratch folder, made at the first call: HOME, the XDG
// settings, state, cache, data and runtime folders, TEMP and TMPDIR all
// point into it, the benchmark works in it (so no skerrow.cnf of the folder
// it was started from is read), and no desktop session of whoever runs it
// is named, so neither they nor the programs it starts read or change that
// person's settings, wallpaper or running program. Removed when the
// benchmark exits. Call it first thing in main, before the environment is
// read.
inline const std::string& ScratchFolder() {
  Leftovers& left = AtExit();
  if (!left.folder.empty()) return left.folder;
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/skerrow-bench-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    std::perror("no scratch folder for the benchmark");
    std::exit(2);
  }
  left.folder = pattern;
  const struct {
    const char* name;
    const char* place;
  } folders[] = {{"HOME", "home"},
                 {"XDG_CONFIG_HOME", "home/.config"},
                 {"XDG_STATE_HOME", "home/.local/state"},
                 {"XDG_CACHE_HOME", "home/.cache"},
                 {"XDG_DATA_HOME", "home/.local/share"},
                 {"XDG_RUNTIME_DIR", "runtime"},
                 {"TEMP", "temp"},
                 {"TMPDIR", "tmp"}};
  for (const auto& folder : folders) {
    const std::string path = left.folder + "/" + folder.place;
    std::error_code failed;
    std::filesystem::create_directories(path, failed);
    chmod(path.c_str(), 0700);
    setenv(folder.name, path.c_str(), 1);
  }
  for (const char* session : {"DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS", "XDG_CURRENT_DESKTOP",
                              "DESKTOP_SESSION", "SWAYSOCK", "SKERROW_DESKTOP"})
    unsetenv(session);
  std::error_code failed;
  std::filesystem::current_path(left.folder + "/home", failed);
  return left.folder;
}

using Samples = std::vector<double>;

// Wall time of one call, in milliseconds.
inline double TimeMs(const std::function<void()>& run) {
  auto start = std::chrono::steady_clock::now();
  run();
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

inline double Median(Samples samples) {
  std::sort(samples.begin(), samples.end());
  return samples[samples.size() / 2];
}

// Each round starts from no settings, as a first start does: what the round
// before saved on hiding its window would otherwise be read back, its
// address first in the list.
inline void ForgetSettings() {
  std::error_code ignored;
  std::filesystem::remove_all(ScratchFolder() + "/home/.config/skerrow", ignored);
}

// An in-process converter call with a vector of words.
inline int Call(int (*entry)(int, char**), std::vector<std::string> words) {
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  return entry(static_cast<int>(words.size()), argv.data());
}

// In a forked child: becomes the program words[0] with those words.
[[noreturn]] inline void Exec(const std::vector<std::string>& words) {
  std::vector<char*> argv;
  for (const std::string& w : words) argv.push_back(const_cast<char*>(w.c_str()));
  argv.push_back(nullptr);
  execv(argv[0], argv.data());
  _exit(127);
}

// Runs a program (words[0] is its path) and returns its exit status, -1 if
// a signal ended it.
inline int Spawn(const std::vector<std::string>& words) {
  pid_t pid = fork();
  if (pid == 0) Exec(words);
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace bench
