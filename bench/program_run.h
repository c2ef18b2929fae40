// What the benchmarks that run the real program share beside the suite's
// child runner: its files, its log read as lines, and the high-water mark of
// its resident size started again at the moment that matters. The program
// inherits the benchmark's scratch folders (bench_support.h).
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "../tests/support/child_process.h"
#include "bench_support.h"

namespace programrun {

using Sample = testsupport::ProcessUsage;

inline void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
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

inline std::vector<std::string> Lines(const std::string& log) {
  std::vector<std::string> lines;
  for (std::size_t at = 0, end; (end = log.find('\n', at)) != std::string::npos; at = end + 1)
    lines.push_back(log.substr(at, end - at));
  return lines;
}

inline bool StartsWith(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

// The program without a display in `home`, its work and state folders
// given, its standard error into `log`.
inline testsupport::ChildOptions HeadlessIn(const std::string& home, const std::string& temp,
                                            const std::string& state, const std::string& log) {
  return {.env = {"DISPLAY", "WAYLAND_DISPLAY", "TEMP=" + temp, "XDG_STATE_HOME=" + state},
          .folder = home,
          .stderr_file = log};
}

}  // namespace programrun
