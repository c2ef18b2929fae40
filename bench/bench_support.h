// Timing and process helpers the benchmarks share.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace bench {

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
