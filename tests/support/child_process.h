// A program the tests start and watch: its arguments, environment and
// folder, standard error to a file or read line by line as it comes, and
// an end by signal with a deadline. Ended (and waited for) when the object
// goes, with everything it started when it has a process group of its own.
#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

// Polls `done` every `step_ms` until it holds or `ms` have passed.
bool WaitFor(const std::function<bool()>& done, int ms = 10000, int step_ms = 20);

struct ChildOptions {
  // "NAME=value" sets an entry for the child, a bare "NAME" removes it.
  std::vector<std::string> env = {};
  std::string folder = {};       // its working folder; empty: ours
  std::string stderr_file = {};  // standard error into this file, truncated; empty: nowhere
  int line_fd = -1;              // this descriptor of the child is a pipe that NextLine reads
  bool own_group = false;        // its helpers go with it
};

// What /proc says of a process at one moment.
struct ProcessUsage {
  double seconds = 0;  // user plus system, its waited-for children's too
  long rss_kib = 0;
  long hwm_kib = 0;    // the high-water mark of rss
};

class Child {
 public:
  explicit Child(const std::vector<std::string>& argv, ChildOptions options = {});
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }
  // True once it has ended; its exit code (or -1 after a signal) in *code.
  bool Ended(int* code = nullptr);
  bool Running() { return !Ended(); }
  // The next whole line written to `line_fd`, without its newline; nothing
  // when none came within the time or the pipe closed.
  std::optional<std::string> NextLine(int timeout_ms);
  void Signal(int number);
  // SIGTERM, then its exit code; -1 when it did not end normally in time.
  int Terminate(int timeout_ms = 10000);
  ProcessUsage Usage() const;

 private:
  pid_t pid_ = -1;
  bool own_group_ = false;
  int status_ = 0;
  bool ended_ = false;
  int line_pipe_ = -1;
  std::string pending_;  // read from the pipe, not yet a whole line
};

}  // namespace testsupport
