// Fifty starts of the program at once for one user and display, as a
// double click too many or a session that starts it twice would: exactly
// one program must be left, every other start handing its request to it.
// Measured: the time from each losing start to its end (its request handed
// over), median and worst; once without a display and once on a private X
// display, where the winner loads its view before it can take requests.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "program_run.h"
#include "../tests/support/test_support.h"
#include "../tests/support/x_server.h"

namespace {

constexpr int kStarts = 50;
constexpr auto kDeadline = std::chrono::seconds(60);

struct Result {
  int left = 0;       // programs still running once the others ended
  int handed = 0;     // starts that ended with 0 and said so
  std::string odd;    // what the first start that did not hand over said
  double median_ms = 0, worst_ms = 0;
};

Result Race(const std::string& run, const std::string& display) {
  std::filesystem::create_directories(run + "/runtime");
  std::filesystem::permissions(run + "/runtime", std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::replace);
  using Clock = std::chrono::steady_clock;
  std::vector<std::unique_ptr<testsupport::Child>> starts;
  std::vector<Clock::time_point> began, ended(kStarts);
  std::vector<bool> done(kStarts, false);
  for (int i = 0; i < kStarts; ++i) {
    testsupport::ChildOptions options = {
        .env = {display.empty() ? "DISPLAY" : "DISPLAY=" + display, "WAYLAND_DISPLAY", "TEMP=" + run,
                "XDG_STATE_HOME=" + run + "/state", "XDG_RUNTIME_DIR=" + run + "/runtime"},
        .folder = run,
        .stderr_file = run + "/start" + std::to_string(i) + ".txt"};
    began.push_back(Clock::now());
    starts.push_back(std::make_unique<testsupport::Child>(std::vector<std::string>{SKERROW_PROGRAM}, options));
  }
  Result result;
  std::vector<double> waits;
  for (auto until = Clock::now() + kDeadline; Clock::now() < until;) {
    int running = 0;
    for (int i = 0; i < kStarts; ++i) {
      int code = -1;
      if (!done[i] && starts[i]->Ended(&code)) {
        done[i] = true;
        waits.push_back(std::chrono::duration<double, std::milli>(Clock::now() - began[i]).count());
        std::string said = programrun::ReadFile(run + "/start" + std::to_string(i) + ".txt");
        if (code == 0 && said.find("already running") != std::string::npos)
          ++result.handed;
        else if (result.odd.empty())
          result.odd = "exit " + std::to_string(code) + ": " + said;
      }
      if (!done[i]) ++running;
    }
    result.left = running;
    if (running <= 1) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  // Late starts that would still slip past would show here.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  result.left = static_cast<int>(std::count_if(starts.begin(), starts.end(), [](auto& s) { return s->Running(); }));
  std::sort(waits.begin(), waits.end());
  if (!waits.empty()) {
    result.median_ms = waits[waits.size() / 2];
    result.worst_ms = waits.back();
  }
  return result;
}

void Report(const char* what, const Result& r) {
  std::printf("%-26s programs left %d (want 1), handed over %d of %d, median %.1f ms, worst %.1f ms\n", what, r.left,
              r.handed, kStarts - 1, r.median_ms, r.worst_ms);
  if (!r.odd.empty()) std::printf("  a start that did not hand over: %s\n", r.odd.c_str());
}

}  // namespace

int main() {
  testsupport::TempDir folder;
  Result headless = Race(folder / "headless", "");
  Report("without a display:", headless);
  bool ok = headless.left == 1 && headless.handed == kStarts - 1;
  try {
    testsupport::XServer screen("");
    Result on_display = Race(folder / "display", screen.display());
    Report("on an X display:", on_display);
    ok = ok && on_display.left == 1 && on_display.handed == kStarts - 1;
  } catch (const std::exception& error) {
    std::printf("on an X display:           skipped (%s)\n", error.what());
  }
  return ok ? 0 : 1;
}
