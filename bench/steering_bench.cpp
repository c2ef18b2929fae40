// `skerrow --next` as a person's key binding runs it: from starting the
// option's own process to the running program's wallpaper call for a
// 1920x1080 JPEG beside it, through the one-instance socket, the request,
// the conversion and the store. The program runs without a display and
// with no desktop to tell, so only the program's own path is timed.
// Target: a median of at most 100 ms.
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "program_run.h"

using namespace programrun;

namespace {

constexpr int kRounds = 21;
constexpr double kMostMedianMs = 100.0;

std::size_t WallpaperLines(const std::string& log) {
  std::size_t count = 0;
  for (const std::string& line : Lines(ReadFile(log))) count += StartsWith(line, "wallpaper: ") ? 1 : 0;
  return count;
}

// Waits until the log holds more than `seen` wallpaper lines; false after 10 s.
bool WaitForWallpaper(const std::string& log, std::size_t seen) {
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (WallpaperLines(log) <= seen) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}

}  // namespace

int main() {
  signal(SIGPIPE, SIG_IGN);
  std::string made = bench::ScratchFolder() + "/steering-bench-XXXXXX";
  if (mkdtemp(made.data()) == nullptr) return 1;
  const std::string folder = made, pictures = folder + "/pictures", home = folder + "/home",
                    temp = folder + "/temp", state = folder + "/state", runtime = folder + "/runtime",
                    log = folder + "/stderr.txt";
  for (const std::string& path : {pictures, home, temp, state, runtime}) std::filesystem::create_directories(path);
  std::filesystem::permissions(runtime, std::filesystem::perms::owner_all);
  // Two photographs' worth of detail, so the decoder does real work.
  const std::string draw = std::string(SKERROW_PYTHON) +
                           " -c \"import sys; from PIL import Image, ImageDraw\n"
                           "for i, name in enumerate(sys.argv[1:]):\n"
                           "  im = Image.effect_mandelbrot((1920, 1080), (-2 + i * 0.1, -1.1, 1, 1.1), 200).convert('RGB')\n"
                           "  im.save(name, quality=90)\" " +
                           pictures + "/a.jpg " + pictures + "/b.jpg";
  if (std::system(draw.c_str()) != 0) return 1;
  WriteFile(home + "/skerrow.cnf", "get-timer:6000000\nfile://" + pictures + "/\n");

  testsupport::ChildOptions options = HeadlessIn(home, temp, state, log);
  options.env.insert(options.env.end(), {"XDG_RUNTIME_DIR=" + runtime, "SKERROW_DESKTOP=none"});
  testsupport::Child program({SKERROW_PROGRAM}, options);
  if (!WaitForWallpaper(log, 0)) return 1;

  std::vector<double> ms;
  for (int round = 0; round < kRounds; ++round) {
    const std::size_t seen = WallpaperLines(log);
    const auto start = std::chrono::steady_clock::now();
    testsupport::Child next({SKERROW_PROGRAM, "--next"}, {.env = {"DISPLAY", "WAYLAND_DISPLAY", "XDG_RUNTIME_DIR=" + runtime}});
    if (!WaitForWallpaper(log, seen)) {
      std::fprintf(stderr, "--- log ---\n%s", ReadFile(log).c_str());
      return 1;
    }
    ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
  }
  program.Terminate(5000);
  std::filesystem::remove_all(folder);
  std::sort(ms.begin(), ms.end());
  const double median = ms[ms.size() / 2];
  std::printf("--next to the wallpaper call, 1920x1080 JPEG, %d rounds\n", kRounds);
  std::printf("  median %.1f ms, fastest %.1f ms, slowest %.1f ms\n", median, ms.front(), ms.back());
  const bool met = median <= kMostMedianMs;
  std::printf("target: a median of at most %.0f ms: %s\n", kMostMedianMs, met ? "met" : "NOT met");
  return met ? 0 : 1;
}
