#include "test_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sched.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace testsupport {
namespace {

// A death test's child is this program run again, ended without its
// destructors: it keeps the scratch folders its parent made, which its
// environment names already, so that it leaves none of its own behind.
bool RunAgainForADeathTest() {
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  const std::string arguments((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return arguments.find("--gtest_internal_run_death_test") != std::string::npos;
}
const bool kParentsScratch = RunAgainForADeathTest();

// No test program reads or writes the settings of the person running it:
// the programs under test keep theirs in a scratch folder.
const TempDir& ScratchSettings() {
  static const TempDir folder;
  return folder;
}
[[maybe_unused]] const bool kScratchSettings =
    kParentsScratch || setenv("XDG_CONFIG_HOME", ScratchSettings().path().c_str(), 1) == 0;

// Nor do they meet the person's running program, or each other's, through
// the one-instance socket.
const TempDir& ScratchRuntime() {
  static const TempDir folder;
  return folder;
}
[[maybe_unused]] const bool kScratchRuntime =
    kParentsScratch || setenv("XDG_RUNTIME_DIR", ScratchRuntime().path().c_str(), 1) == 0;

// Nor their state, cache or data, nor anything else kept under their home
// folder (a program or library that finds no XDG folder looks there).
const TempDir& ScratchHome() {
  static const TempDir folder;
  return folder;
}
bool PointHomeAtScratch() {
  const std::string& home = ScratchHome().path();
  return setenv("HOME", home.c_str(), 1) == 0 &&
         setenv("XDG_STATE_HOME", (home + "/.local/state").c_str(), 1) == 0 &&
         setenv("XDG_CACHE_HOME", (home + "/.cache").c_str(), 1) == 0 &&
         setenv("XDG_DATA_HOME", (home + "/.local/share").c_str(), 1) == 0;
}
[[maybe_unused]] const bool kScratchHome = kParentsScratch || PointHomeAtScratch();

}  // namespace

// Named on every test program's link line, so that the scratch folders
// above are set up even in a program that calls nothing else of this file.
extern "C" const int SkerrowScratchFolders = 1;

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/skerrow-test-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = buffer.data();
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string TinyBitmap() {
  const unsigned char bytes[] = {
      'B', 'M', 62, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0,           // file header: size 62, data at 54
      40, 0, 0, 0, 2, 0, 0, 0, 1, 0, 0, 0, 1, 0, 24, 0,        // info: 2 x 1, 1 plane, 24 bits
      0, 0, 0, 0, 8, 0, 0, 0, 0x13, 0x0b, 0, 0, 0x13, 0x0b, 0, 0,  // no compression, 8 data bytes
      0, 0, 0, 0, 0, 0, 0, 0,                                  // palette sizes
      0, 0, 255, 0, 255, 0, 0, 0,                              // red, green (BGR), padding
  };
  return std::string(reinterpret_cast<const char*>(bytes), sizeof bytes);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

bool FileExists(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0;
}

std::vector<std::string> ListDir(const std::string& path) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(path, error))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

ScratchFileSystem::ScratchFileSystem(const std::string& folder, Kind kind) : folder_(folder) {
  // Mounts made in a namespace of the process's own are never seen by
  // anyone else, and go with it should it end first.
  static const bool own_namespace =
      unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
  std::filesystem::create_directories(folder);
  const unsigned long flags = kind == kReadOnly ? MS_RDONLY : 0;
  mounted_ = own_namespace && mount("tmpfs", folder.c_str(), "tmpfs", flags, "size=64k,mode=0700") == 0;
  if (!mounted_ || kind != kFull) return;
  std::filesystem::create_directories(folder + "/skerrow");  // folders cost no room; files do
  int fd = open((folder + "/filler").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  const std::string block(4096, 'x');
  while (fd >= 0 && write(fd, block.data(), block.size()) > 0) {
  }
  if (fd >= 0) close(fd);
}

ScratchFileSystem::~ScratchFileSystem() {
  if (mounted_) umount2(folder_.c_str(), MNT_DETACH);
}

std::string NewestWallpaperCopy(const std::string& state_home) {
  std::string newest;
  unsigned long newest_number = 0;
  for (const std::string& name : ListDir(state_home + "/skerrow")) {
    unsigned long number = 0;
    char tail = 0;
    if (std::sscanf(name.c_str(), "wallpaper-%lu.bm%c", &number, &tail) == 2 && tail == 'p' && number >= newest_number) {
      newest_number = number;
      newest = state_home + "/skerrow/" + name;
    }
  }
  return newest;
}

StderrCapture::StderrCapture() {
  std::fflush(stderr);
  char name[] = "/tmp/skerrow-stderr-XXXXXX";
  capture_fd_ = mkstemp(name);
  if (capture_fd_ < 0) throw std::runtime_error("mkstemp failed");
  ::unlink(name);
  saved_fd_ = ::dup(2);
  ::dup2(capture_fd_, 2);
}

StderrCapture::~StderrCapture() { Finish(); }

std::string StderrCapture::Finish() {
  if (saved_fd_ < 0) return text_;
  std::fflush(stderr);
  ::dup2(saved_fd_, 2);
  ::close(saved_fd_);
  saved_fd_ = -1;
  ::lseek(capture_fd_, 0, SEEK_SET);
  char chunk[4096];
  ssize_t got;
  while ((got = ::read(capture_fd_, chunk, sizeof chunk)) > 0) text_.append(chunk, static_cast<size_t>(got));
  ::close(capture_fd_);
  capture_fd_ = -1;
  return text_;
}

namespace {

std::string ReadAllFromFd(int fd) {
  std::string text;
  ::lseek(fd, 0, SEEK_SET);
  char chunk[65536];
  ssize_t got;
  while ((got = ::read(fd, chunk, sizeof chunk)) > 0) text.append(chunk, static_cast<size_t>(got));
  return text;
}

int AnonymousFile() {
  char name[] = "/tmp/skerrow-proc-XXXXXX";
  int fd = mkstemp(name);
  if (fd < 0) throw std::runtime_error("mkstemp failed");
  ::unlink(name);
  return fd;
}

}  // namespace

ProcessResult RunProcess(const std::vector<std::string>& argv, const std::vector<std::string>& extra_env,
                         int timeout_seconds) {
  int out_fd = AnonymousFile();
  int err_fd = AnonymousFile();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out_fd, 1);
  posix_spawn_file_actions_adddup2(&actions, err_fd, 2);

  std::vector<std::string> env_strings;
  for (char** e = environ; *e != nullptr; ++e) env_strings.emplace_back(*e);
  for (const auto& extra : extra_env) {
    std::string name = extra.substr(0, extra.find('=') + 1);
    std::erase_if(env_strings, [&](const std::string& s) { return s.rfind(name, 0) == 0; });
    env_strings.push_back(extra);
  }
  std::vector<char*> env_ptrs;
  for (auto& s : env_strings) env_ptrs.push_back(s.data());
  env_ptrs.push_back(nullptr);
  std::vector<std::string> arg_strings = argv;
  std::vector<char*> arg_ptrs;
  for (auto& s : arg_strings) arg_ptrs.push_back(s.data());
  arg_ptrs.push_back(nullptr);

  ProcessResult result;
  pid_t pid;
  int rc = posix_spawn(&pid, arg_ptrs[0], &actions, nullptr, arg_ptrs.data(), env_ptrs.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    result.err = std::string("spawn failed: ") + std::strerror(rc);
  } else {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
    int status = 0;
    for (;;) {
      pid_t done = ::waitpid(pid, &status, WNOHANG);
      if (done == pid) break;
      if (std::chrono::steady_clock::now() > deadline) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    result.out = ReadAllFromFd(out_fd);
    result.err = ReadAllFromFd(err_fd);
  }
  ::close(out_fd);
  ::close(err_fd);
  return result;
}

ProcessResult RunPython(const std::string& script, const std::vector<std::string>& args) {
  std::vector<std::string> argv = {SKERROW_PYTHON, "-c", script};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunProcess(argv);
}

int CallWithArgs(int (*entry)(int, char**), const std::vector<std::string>& args) {
  std::vector<std::string> copies = args;
  std::vector<char*> pointers;
  for (auto& s : copies) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return entry(static_cast<int>(copies.size()), pointers.data());
}

// A connection as another user makes it, from a child that takes uid and
// gid 65534 first; the line it was answered with.
std::string AnswerAsAnotherUser(const std::string& socket_path) {
  int answer[2];
  if (pipe(answer) != 0) return "no pipe";
  pid_t child = fork();
  if (child == 0) {
    close(answer[0]);
    // What went wrong is the answer when nothing else came.
    auto fail = [&](const char* step) {
      (void)!write(answer[1], step, std::strlen(step));
      (void)!write(answer[1], strerror(errno), std::strlen(strerror(errno)));
      _exit(1);
    };
    if (setgid(65534) != 0 || setuid(65534) != 0) fail("setuid: ");
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socket_path.c_str());
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) fail("connect: ");
    // The refusal may come, and the socket close, before the request is
    // sent; that must not end the caller.
    (void)!send(fd, "next\n", 5, MSG_NOSIGNAL);
    char line[256];
    ssize_t got = read(fd, line, sizeof line);
    if (got <= 0) fail("read: ");
    (void)!write(answer[1], line, static_cast<size_t>(got));
    _exit(0);
  }
  close(answer[1]);
  std::string line;
  char bytes[256];
  for (ssize_t got; (got = read(answer[0], bytes, sizeof bytes)) != 0;) {
    if (got < 0 && errno != EINTR) break;  // the child's end is signalled while we wait
    if (got > 0) line.append(bytes, static_cast<size_t>(got));
  }
  close(answer[0]);
  waitpid(child, nullptr, 0);
  return line;
}

}  // namespace testsupport
