// The process entry in a real child process: the command line it hands to
// WinMain, and SIGTERM and SIGINT closing the window the normal way.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_support.h"

extern char** environ;

namespace {

struct ChildRun {
  std::string out;
  int status = -1;
  bool timed_out = false;
};

// Starts the child, sends `signal_number` once it says "ready" and collects
// what it prints; every wait has a deadline, after which the child is killed.
ChildRun RunChild(const std::vector<std::string>& words, int signal_number) {
  ChildRun run;
  int out_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0) return run;
  std::vector<std::string> arguments{PLATFORM_ENTRY_CHILD};
  arguments.insert(arguments.end(), words.begin(), words.end());
  std::vector<char*> argv;
  for (auto& a : arguments) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
  // A runtime folder of its own: the child claims its session's name as the
  // program does, and must meet no program of whoever runs the tests.
  static testsupport::TempDir runtime;
  setenv("XDG_RUNTIME_DIR", runtime.path().c_str(), 1);
  pid_t pid = -1;
  int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out_pipe[1]);
  if (spawned != 0) {
    close(out_pipe[0]);
    return run;
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  bool signalled = false;
  for (;;) {
    if (!signalled && run.out.find("ready\n") != std::string::npos) {
      kill(pid, signal_number);
      signalled = true;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      run.timed_out = true;
      kill(pid, SIGKILL);
      break;
    }
    pollfd fd{out_pipe[0], POLLIN, 0};
    if (poll(&fd, 1, static_cast<int>(left.count())) <= 0) continue;
    char buffer[512];
    ssize_t got = read(out_pipe[0], buffer, sizeof buffer);
    if (got <= 0) break;  // the child has ended
    run.out.append(buffer, static_cast<size_t>(got));
  }
  close(out_pipe[0]);
  waitpid(pid, &run.status, 0);
  return run;
}

TEST(ProgramEntryTest, TerminationSignalsCloseTheWindowAndEndWithZero) {
  for (int signal_number : {SIGTERM, SIGINT}) {
    ChildRun run = RunChild({"plain"}, signal_number);
    ASSERT_FALSE(run.timed_out) << run.out;
    ASSERT_TRUE(WIFEXITED(run.status)) << "ended by signal " << WTERMSIG(run.status);
    EXPECT_EQ(WEXITSTATUS(run.status), 0);
    EXPECT_NE(run.out.find("tray icon present 0\n"), std::string::npos) << run.out;
  }
}

TEST(ProgramEntryTest, WinMainGetsInstanceCommandLineAndShowDefault) {
  ChildRun run = RunChild({"plain", "two words", "x"}, SIGTERM);
  ASSERT_FALSE(run.timed_out);
  EXPECT_NE(run.out.find("command line [plain \"two words\" x] previous 0 show 10\n"), std::string::npos)
      << run.out;
}

TEST(ProgramEntryTest, ConverterRunsHandTheSignalsBack) {
  // After a converter run the host's handling is back.
  ChildRun after = RunChild({"after-conversion"}, SIGTERM);
  ASSERT_FALSE(after.timed_out);
  ASSERT_TRUE(WIFEXITED(after.status));
  EXPECT_EQ(WEXITSTATUS(after.status), 0);
  EXPECT_NE(after.out.find("tray icon present 0\n"), std::string::npos);
  // During one the run ends with 1 and the program then closes normally.
  ChildRun during = RunChild({"during-conversion"}, SIGTERM);
  ASSERT_FALSE(during.timed_out) << during.out;
  ASSERT_TRUE(WIFEXITED(during.status));
  EXPECT_EQ(WEXITSTATUS(during.status), 0);
  EXPECT_NE(during.out.find("conversion result 1\n"), std::string::npos) << during.out;
  EXPECT_NE(during.out.find("tray icon present 0\n"), std::string::npos) << during.out;
}

}  // namespace
