#include "wayland_helpers.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <utility>

namespace waylandtest {
namespace {

// sway will not run as root; `nobody` exists on every Debian system.
constexpr uid_t kUnprivileged = 65534;

bool AsRoot() { return geteuid() == 0; }
uid_t User() { return AsRoot() ? kUnprivileged : geteuid(); }
gid_t Group() { return AsRoot() ? kUnprivileged : getegid(); }

void Own(const std::string& path, mode_t mode) {
  chmod(path.c_str(), mode);
  if (AsRoot() && chown(path.c_str(), User(), Group()) != 0) std::perror(path.c_str());
}

// Whether a user who owns none of the path may open the file: a build
// tree in root's closed home is out of reach of `nobody`.
bool OpenToOthers(const std::string& path) {
  if (!AsRoot()) return true;
  struct stat info;
  if (stat(path.c_str(), &info) != 0 || (info.st_mode & S_IROTH) == 0) return false;
  for (std::filesystem::path folder = std::filesystem::path(path).parent_path(); folder != folder.root_path();
       folder = folder.parent_path()) {
    if (stat(folder.c_str(), &info) != 0 || (info.st_mode & S_IXOTH) == 0) return false;
  }
  return true;
}

// The program and the modules it finds beside it, copied into `folder`
// unless the compositor's user can reach them where they are.
std::string ReachableProgram(const std::string& folder) {
  std::filesystem::path program = SKERROW_PROGRAM;
  std::vector<std::filesystem::path> files = {program};
  for (const auto& entry : std::filesystem::directory_iterator(program.parent_path())) {
    std::string name = entry.path().filename();
    if (name.starts_with("libskerrow_") && name.ends_with(".so")) files.push_back(entry.path());
  }
  bool reachable = true;
  for (const auto& file : files) reachable = reachable && OpenToOthers(file);
  if (reachable) return program;
  std::string bin = folder + "/bin";
  mkdir(bin.c_str(), 0755);
  for (const auto& file : files) {
    std::string copy = bin + "/" + file.filename().string();
    std::filesystem::copy_file(file, copy, std::filesystem::copy_options::overwrite_existing);
    chmod(copy.c_str(), 0755);
  }
  return bin + "/" + program.filename().string();
}

// The sanitizers' options as this test has them, with a suppressions file
// the compositor's user can read.
std::vector<std::string> SanitizerEnv(const std::string& folder) {
  std::vector<std::string> env;
  for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
    const char* value = std::getenv(name);
    if (value == nullptr) continue;
    std::string options = value;
    size_t at = options.find("suppressions=");
    if (at != std::string::npos) {
      size_t start = at + 13, end = options.find(':', start);
      std::string file = options.substr(start, end == std::string::npos ? std::string::npos : end - start);
      if (!OpenToOthers(file)) {
        std::string copy = folder + "/" + name + ".supp";
        std::filesystem::copy_file(file, copy, std::filesystem::copy_options::overwrite_existing);
        chmod(copy.c_str(), 0644);
        options.replace(start, file.size(), copy);
      }
    }
    env.push_back(std::string(name) + "=" + options);
  }
  return env;
}

// The runtime folder's Wayland socket, once sway made it.
std::string WaylandSocket(const std::string& runtime) {
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(runtime, error)) {
    std::string name = entry.path().filename();
    if (name.starts_with("wayland-") && !name.ends_with(".lock") && entry.is_socket()) return name;
  }
  return {};
}

}  // namespace

bool Sway::Installed() {
  return access("/usr/bin/sway", X_OK) == 0 && access("/usr/bin/swaybg", X_OK) == 0 &&
         access("/usr/bin/grim", X_OK) == 0;
}

Sway::Sway() {
  // The scratch folder stays root's; the user only passes through it.
  chmod(scratch_.path().c_str(), 0711);
  home_ = scratch_ / "home";
  runtime_ = home_ + "/run";
  mkdir(home_.c_str(), 0700);
  Own(home_, 0700);
  mkdir(runtime_.c_str(), 0700);
  Own(runtime_, 0700);
  program_ = ReachableProgram(scratch_.path());
  sanitizer_env_ = SanitizerEnv(scratch_.path());
  swaysock_ = runtime_ + "/sway.sock";
  std::string config = home_ + "/sway.conf";
  char background[8];
  std::snprintf(background, sizeof background, "#%02x%02x%02x", kBackground[0], kBackground[1], kBackground[2]);
  Give(config, "output * mode " + std::to_string(kWidth) + "x" + std::to_string(kHeight) + " bg " + background +
                   " solid_color\nxwayland disable\nfor_window [app_id=\".*\"] floating enable\n");
  std::string log = scratch_ / "sway.log";
  sway_ = std::make_unique<Child>(AsUser({"/usr/bin/sway", "-c", config},
                                         {"SWAYSOCK=" + swaysock_, "WLR_BACKENDS=headless",
                                          "WLR_LIBINPUT_NO_DEVICES=1", "WLR_RENDERER=pixman"}),
                                  ChildOptions{.stderr_file = log, .own_group = true});
  bool up = WaitFor([&] {
    wayland_display_ = WaylandSocket(runtime_);
    return sway_->Ended() || (!wayland_display_.empty() && testsupport::FileExists(swaysock_));
  });
  if (!up || sway_->Ended()) failure_ = "sway did not start: " + testsupport::ReadFile(log);
}

Sway::~Sway() = default;

std::vector<std::string> Sway::AsUser(const std::vector<std::string>& argv,
                                      const std::vector<std::string>& env) const {
  std::vector<std::string> command;
  if (AsRoot())
    command = {"/usr/bin/setpriv", "--reuid=" + std::to_string(User()), "--regid=" + std::to_string(Group()),
               "--clear-groups"};
  // Nothing of the test's own environment reaches the user's programs.
  command.insert(command.end(), {"/usr/bin/env", "-i", "-C", home_, "PATH=/usr/bin:/bin", "HOME=" + home_,
                                 "XDG_RUNTIME_DIR=" + runtime_});
  command.insert(command.end(), sanitizer_env_.begin(), sanitizer_env_.end());
  command.insert(command.end(), env.begin(), env.end());
  command.insert(command.end(), argv.begin(), argv.end());
  return command;
}

testsupport::ProcessResult Sway::Run(const std::vector<std::string>& argv, const std::vector<std::string>& env) const {
  return testsupport::RunProcess(AsUser(argv, env), {}, 20);
}

Child Sway::Start(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                  ChildOptions options) const {
  options.own_group = true;
  return Child(AsUser(argv, env), std::move(options));
}

void Sway::Give(const std::string& path, const std::string& bytes) const {
  testsupport::WriteFile(path, bytes);
  Own(path, 0644);
}

std::string Sway::Screenshot(const std::string& name) const {
  std::string path = home_ + "/" + name;
  return Run({"/usr/bin/grim", path}, {"WAYLAND_DISPLAY=" + wayland_display_}).exit_code == 0 ? path : "";
}

testsupport::ProcessResult Sway::Message(const std::vector<std::string>& words) const {
  std::vector<std::string> argv = {"/usr/bin/swaymsg"};
  argv.insert(argv.end(), words.begin(), words.end());
  return Run(argv, {"SWAYSOCK=" + swaysock_});
}

}  // namespace waylandtest
