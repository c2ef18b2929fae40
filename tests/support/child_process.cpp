#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "test_support.h"

namespace testsupport {

bool WaitFor(const std::function<bool()>& done, int ms, int step_ms) {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(step_ms));
  }
  return true;
}

Child::Child(const std::vector<std::string>& argv, ChildOptions options) : own_group_(options.own_group) {
  int pipe_fds[2] = {-1, -1};
  if (options.line_fd >= 0 && pipe2(pipe_fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  // Everything the child needs is made before the fork: after it, only
  // calls that are safe in a copy of a threaded process.
  std::vector<std::string> words = argv;
  std::vector<char*> args;
  for (auto& word : words) args.push_back(word.data());
  args.push_back(nullptr);
  pid_ = fork();
  if (pid_ == 0) {
    if (options.line_fd >= 0 && pipe_fds[1] != options.line_fd) dup2(pipe_fds[1], options.line_fd);
    if (options.line_fd >= 0) fcntl(options.line_fd, F_SETFD, 0);
    int null_fd = open("/dev/null", O_RDWR);
    for (int fd : {0, 1, 2})
      if (fd != options.line_fd) dup2(null_fd, fd);
    if (!options.stderr_file.empty()) {
      int log = open(options.stderr_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (log < 0 || dup2(log, 2) < 0) _exit(127);
    }
    if (!options.folder.empty() && chdir(options.folder.c_str()) != 0) _exit(127);
    for (const std::string& entry : options.env) {
      size_t equals = entry.find('=');
      if (equals == std::string::npos)
        unsetenv(entry.c_str());
      else
        setenv(entry.substr(0, equals).c_str(), entry.c_str() + equals + 1, 1);
    }
    if (options.own_group) setpgid(0, 0);
    prctl(PR_SET_PDEATHSIG, SIGKILL);  // and it goes with a test that crashed
    execvp(args[0], args.data());
    _exit(127);
  }
  if (pipe_fds[1] >= 0) close(pipe_fds[1]);
  line_pipe_ = pipe_fds[0];
  if (pid_ < 0) throw std::runtime_error("fork failed");
}

Child::~Child() {
  if (line_pipe_ >= 0) close(line_pipe_);
  if (pid_ <= 0) return;
  if (!Ended()) {
    Signal(SIGTERM);
    if (!WaitFor([this] { return Ended(); }, 3000, 10)) {
      Signal(SIGKILL);
      waitpid(pid_, &status_, 0);
    }
  }
  // What it started may outlive it; the group goes too.
  if (own_group_) kill(-pid_, SIGKILL);
}

bool Child::Ended(int* code) {
  if (pid_ <= 0) return true;
  if (!ended_ && waitpid(pid_, &status_, WNOHANG) == pid_) ended_ = true;
  if (ended_ && code != nullptr) *code = WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
  return ended_;
}

std::optional<std::string> Child::NextLine(int timeout_ms) {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (pending_.find('\n') == std::string::npos && line_pipe_ >= 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
    pollfd watch{line_pipe_, POLLIN, 0};
    if (left.count() < 0 || poll(&watch, 1, static_cast<int>(left.count())) <= 0) return std::nullopt;
    char buffer[4096];
    ssize_t got = read(line_pipe_, buffer, sizeof buffer);
    if (got <= 0) return std::nullopt;
    pending_.append(buffer, static_cast<size_t>(got));
  }
  size_t end = pending_.find('\n');
  if (end == std::string::npos) return std::nullopt;
  std::string line = pending_.substr(0, end);
  pending_.erase(0, end + 1);
  return line;
}

void Child::Signal(int number) {
  if (pid_ <= 0 || ended_) return;
  if (own_group_) kill(-pid_, number);
  kill(pid_, number);
}

int Child::Terminate(int timeout_ms) {
  Signal(SIGTERM);
  int code = -1;
  return WaitFor([&] { return Ended(&code); }, timeout_ms, 10) ? code : -1;
}

ProcessUsage Child::Usage() const {
  ProcessUsage usage;
  const std::string proc = "/proc/" + std::to_string(pid_);
  const std::string status = ReadFile(proc + "/status");
  auto kib = [&](const char* field) {
    size_t at = status.find(field);
    return at == std::string::npos ? 0 : std::strtol(status.c_str() + at + std::strlen(field), nullptr, 10);
  };
  usage.rss_kib = kib("VmRSS:");
  usage.hwm_kib = kib("VmHWM:");
  // The command name may hold spaces; the fields count from its closing ')'.
  const std::string stat = ReadFile(proc + "/stat");
  const size_t close = stat.rfind(')');
  if (close == std::string::npos) return usage;
  std::istringstream fields(stat.substr(close + 2));
  std::string field;
  double ticks = 0;
  for (int index = 3; index <= 17 && fields >> field; ++index) {
    if (index >= 14) ticks += std::strtod(field.c_str(), nullptr);  // utime stime cutime cstime
  }
  usage.seconds = ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
  return usage;
}

}  // namespace testsupport
