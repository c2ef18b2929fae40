// From the rotation tick to the wallpaper call for a 1920 x 1080 GIF and
// JPEG read from file, against the converters run on their own on the same
// files: in-process (the same entry points) and as the standalone commands.
// Prints medians in milliseconds and the pipeline's overhead.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <windows.h>

#include "app_constants.h"
#include "app_globals.h"
#include "bench_support.h"
#include "download_rounds.h"
#include "fetch_globals.h"
#include "image_writer.h"
#include "layer_control.h"
#include "pixel_source.h"

namespace {

constexpr int kRuns = 9;

using bench::Call;
using bench::Median;
using bench::Samples;
using bench::Spawn;
using bench::TimeMs;

bool Draw(const std::string& gif, const std::string& jpeg) {
  std::string script =
      "import sys\n"
      "from PIL import Image, ImageDraw\n"
      "w, h = 1920, 1080\n"
      "im = Image.new('RGB', (w, h))\n"
      "im.putdata([((x * 255) // w, (y * 255) // h, ((x ^ y) * 3) & 255) for y in range(h) for x in range(w)])\n"
      "d = ImageDraw.Draw(im)\n"
      "for i in range(40):\n"
      "    d.ellipse((i * 45, i * 20, i * 45 + 200, i * 20 + 150), outline=(255 - i * 6, i * 6, 128), width=5)\n"
      "im.save(sys.argv[2], 'JPEG', quality=90)\n"
      "im.quantize(256).save(sys.argv[1], 'GIF')\n";
  return Spawn({SKERROW_PYTHON, "-c", script, gif, jpeg}) == 0;
}

// The window as the program has it, hidden in the tray with its one entry,
// from no settings.
void StartHiddenWith(const std::string& address) {
  bench::ForgetSettings();
  ShownUrl[0] = '\0';
  LayerReset();
  LayerUseFakeClock(0);
  IntervalMs = 1000;
  RotationIndex = 1;
  HINSTANCE instance = LayerProgramInstance();
  RegisterMainClass(instance);
  InitMainWindow(instance, SW_SHOWNORMAL);
  SendMessageA(GetDlgItem(MainWindow, UrlBox), CB_INSERTSTRING, static_cast<WPARAM>(-1),
               reinterpret_cast<LPARAM>(address.c_str()));
  SendMessageA(MainWindow, WM_SYSCOMMAND, SC_MINIMIZE, 0);
}

void Tick() {
  LayerAdvanceClock(static_cast<uint64_t>(IntervalMs));
  MSG message;
  while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
}

}  // namespace

int main() {
  bench::ScratchFolder();
  const std::string dir = std::filesystem::temp_directory_path() / ("skerrow-bench-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir + "/temp");
  setenv("TEMP", (dir + "/temp").c_str(), 1);
  setenv("XDG_STATE_HOME", (dir + "/state").c_str(), 1);
  const std::string gif = dir + "/picture.gif", jpeg = dir + "/picture.jpg";
  if (!Draw(gif, jpeg)) {
    std::fprintf(stderr, "could not draw the pictures\n");
    return 1;
  }
  // The converters talk on stderr; keep the figures readable.
  std::FILE* quiet = std::freopen("/dev/null", "w", stderr);
  (void)quiet;

  const std::string jpg_out = dir + "/alone.jpg", bmp_out = dir + "/alone.bmp";
  auto encode = [&] { Call(RunCjpeg, {"cjpeg", "-quality", "100", gif, jpg_out}); };
  auto decode_gif = [&] { Call(RunDjpeg, {"djpeg", "-bmp", jpg_out, bmp_out}); };
  auto decode_jpeg = [&] { Call(RunDjpeg, {"djpeg", "-bmp", jpeg, bmp_out}); };
  auto store = [&] {
    std::snprintf(ScratchBuffer, sizeof ScratchBuffer, "%s", bmp_out.c_str());
    SystemParametersInfoA(SPI_SETDESKWALLPAPER, 0, ScratchBuffer, 0);
  };

  // Rounds alternate between the pipeline and the converters alone, so that
  // the load of a shared machine falls on both alike.
  Samples gif_pipeline, gif_alone, jpeg_pipeline, jpeg_alone, stores;
  for (int round = 0; round < kRuns; ++round) {
    StartHiddenWith("file://" + gif);
    gif_pipeline.push_back(TimeMs(Tick));
    bench::RequireShown("file://" + gif);
    gif_alone.push_back(TimeMs(encode) + TimeMs(decode_gif));
    stores.push_back(TimeMs(store));
    // Fresh outputs every time, as the pipeline has (it deletes its own).
    std::remove(jpg_out.c_str());
    std::remove(bmp_out.c_str());
    StartHiddenWith("file://" + jpeg);
    jpeg_pipeline.push_back(TimeMs(Tick));
    bench::RequireShown("file://" + jpeg);
    jpeg_alone.push_back(TimeMs(decode_jpeg));
    std::remove(bmp_out.c_str());
  }
  LayerReset();
  Samples gif_commands, jpeg_commands;
  for (int round = 0; round < 3; ++round) {
    gif_commands.push_back(TimeMs([&] {
      Spawn({SKERROW_CJPEG_COMMAND, "-quality", "100", gif, jpg_out});
      Spawn({SKERROW_DJPEG_COMMAND, "-bmp", jpg_out, bmp_out});
    }));
    jpeg_commands.push_back(TimeMs([&] { Spawn({SKERROW_DJPEG_COMMAND, "-bmp", jpeg, bmp_out}); }));
  }

  const double store_ms = Median(stores);
  auto report = [&](const char* what, Samples& pipeline_samples, Samples& alone_samples, Samples& command_samples) {
    double pipeline = Median(pipeline_samples), alone = Median(alone_samples);
    double to_call = pipeline - store_ms;  // the wallpaper call's own copy is not the pipeline's cost
    std::printf("%-5s tick to wallpaper set %7.1f ms, to the call %7.1f ms | converters in-process %7.1f ms | "
                "commands %7.1f ms | overhead to the call %+5.1f%%\n",
                what, pipeline, to_call, alone, Median(command_samples), 100.0 * (to_call - alone) / alone);
  };
  std::printf("1920x1080, median of %d rounds; the wallpaper call itself takes %.1f ms\n", kRuns, store_ms);
  report("GIF", gif_pipeline, gif_alone, gif_commands);
  report("JPEG", jpeg_pipeline, jpeg_alone, jpeg_commands);
  std::filesystem::remove_all(dir);
  return 0;
}
