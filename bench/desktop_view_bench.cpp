// The program on a display: time from start to its window shown, resident
// memory when idle with the window and without a display, and processor
// time over an idle stretch with the window hidden and with it shown (its
// text cursor blinking). Starts its own Xvfb. Usage:
//   desktop_view_bench [idle seconds, default 60]
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "bench_support.h"
#include "x11_session_helpers.h"

namespace {

constexpr char kCaption[] = "Windows Skerrow Version 0.02";
constexpr int kStarts = 7;
constexpr int kLookMs = 2;

using desktoptest::Child;
using desktoptest::WaitFor;

double ResidentMiB(const Child& program) { return static_cast<double>(program.Usage().rss_kib) / 1024.0; }

void Close(Child& program) {
  auto windows = desktoptest::WindowsNamed(kCaption);
  if (!windows.empty()) desktoptest::RequestClose(windows.front());
  if (!WaitFor([&] { return program.Ended(); }, 5000)) kill(program.pid(), SIGTERM);
}

double IdleProcessorMs(Child& program, int seconds) {
  std::this_thread::sleep_for(std::chrono::seconds(1));  // past start-up
  double before = program.Usage().seconds;
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  return (program.Usage().seconds - before) * 1000.0;
}

}  // namespace

int main(int argc, char** argv) {
  bench::ScratchFolder();
  int idle_seconds = argc > 1 ? std::atoi(argv[1]) : 60;
  std::filesystem::path dir = std::filesystem::temp_directory_path() / ("skerrow-bench-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  chmod(dir.c_str(), 0700);
  std::filesystem::current_path(dir);
  setenv("TEMP", dir.c_str(), 1);
  setenv("XDG_STATE_HOME", (dir / "state").c_str(), 1);
  setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
  unsetenv("DBUS_SESSION_BUS_ADDRESS");
  unsetenv("WAYLAND_DISPLAY");

  unsetenv("DISPLAY");
  {
    Child headless({SKERROW_PROGRAM});
    std::this_thread::sleep_for(std::chrono::seconds(1));
    std::printf("resident memory, idle without a display: %.1f MiB (limit 8)\n", ResidentMiB(headless));
  }

  desktoptest::XServer session("");
  if (!session.ok()) {
    std::fprintf(stderr, "no X server\n");
    return 1;
  }
  desktoptest::WindowWatch watch;
  auto Shown = [&] { return watch.Shows(kCaption); };
  bench::Samples starts;
  double resident = 0;
  for (int i = 0; i < kStarts; ++i) {
    auto start = std::chrono::steady_clock::now();
    Child program({SKERROW_PROGRAM});
    if (!WaitFor(Shown, 10000, kLookMs)) {
      std::fprintf(stderr, "the window did not appear\n");
      return 1;
    }
    starts.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    if (i == 0) {
      std::this_thread::sleep_for(std::chrono::seconds(1));
      resident = ResidentMiB(program);
    }
    Close(program);
  }
  std::printf("start to window shown: median %.0f ms of %d (target 300)\n", bench::Median(starts), kStarts);
  std::printf("resident memory, idle with the window: %.1f MiB (limit 60)\n", resident);

  {
    Child shown({SKERROW_PROGRAM});
    WaitFor(Shown, 10000, kLookMs);
    std::printf("processor time over %d s idle, window shown, cursor blinking: %.0f ms (target 100)\n",
                idle_seconds, IdleProcessorMs(shown, idle_seconds));
    Close(shown);
  }
  {
    // An address in the configuration: the window stays hidden and the
    // first rotation is over before the measurement begins.
    std::string picture = (dir / "picture.bmp").string();
    if (std::system(("convert -size 2x2 xc:red BMP3:" + picture).c_str()) != 0) return 1;
    std::ofstream(dir / "skerrow.cnf") << "file://" << picture << "\n";
    Child hidden({SKERROW_PROGRAM});
    std::this_thread::sleep_for(std::chrono::seconds(1));
    std::printf("processor time over %d s idle, window hidden: %.0f ms (target 10)\n", idle_seconds,
                IdleProcessorMs(hidden, idle_seconds));
    kill(hidden.pid(), SIGTERM);
  }
  std::filesystem::current_path("/");
  std::filesystem::remove_all(dir);
  return 0;
}
