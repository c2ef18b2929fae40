// Running the real program as a child for a benchmark: its files, its log
// and what /proc says of its processor time and resident memory.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace programrun {

inline void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// What /proc says of a process at one moment.
struct Sample {
  double seconds = 0;  // user plus system, its waited-for children's too
  long rss_kib = 0;
  long hwm_kib = 0;
};

inline long StatusKib(const std::string& status, const char* field) {
  const std::size_t at = status.find(field);
  return at == std::string::npos ? 0 : std::strtol(status.c_str() + at + std::strlen(field), nullptr, 10);
}

inline Sample Read(pid_t pid) {
  Sample sample;
  const std::string proc = "/proc/" + std::to_string(pid);
  const std::string status = ReadFile(proc + "/status");
  sample.rss_kib = StatusKib(status, "VmRSS:");
  sample.hwm_kib = StatusKib(status, "VmHWM:");
  // The command name may hold spaces; the fields count from its closing ')'.
  const std::string stat = ReadFile(proc + "/stat");
  const std::size_t close = stat.rfind(')');
  if (close == std::string::npos) return sample;
  std::istringstream fields(stat.substr(close + 2));
  std::string field;
  double ticks = 0;
  for (int index = 3; index <= 17 && fields >> field; ++index) {
    if (index >= 14) ticks += std::strtod(field.c_str(), nullptr);  // utime stime cutime cstime
  }
  sample.seconds = ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
  return sample;
}

// Starts the high-water mark again from the present size; false where the
// system does not allow it.
inline bool ResetPeak(pid_t pid) {
  const int fd = open(("/proc/" + std::to_string(pid) + "/clear_refs").c_str(), O_WRONLY);
  if (fd < 0) return false;
  const bool reset = write(fd, "5", 1) == 1;
  close(fd);
  return reset;
}

inline pid_t StartProgram(const std::string& home, const std::string& temp, const std::string& state,
                          const std::string& log) {
  const pid_t pid = fork();
  if (pid == 0) {
    const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || dup2(fd, 2) < 0 || chdir(home.c_str()) != 0) _exit(127);
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    setenv("TEMP", temp.c_str(), 1);
    setenv("XDG_STATE_HOME", state.c_str(), 1);
    execl(SKERROW_PROGRAM, "skerrow", static_cast<char*>(nullptr));
    _exit(127);
  }
  return pid;
}

inline std::vector<std::string> Lines(const std::string& log) {
  std::vector<std::string> lines;
  for (std::size_t at = 0, end; (end = log.find('\n', at)) != std::string::npos; at = end + 1)
    lines.push_back(log.substr(at, end - at));
  return lines;
}

inline bool StartsWith(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

}  // namespace programrun
