// From the rotation tick to the wallpaper call for a 1920 x 1080 GIF and a
// 4000 x 3000 JPEG downloaded over loopback, against the same bytes fetched
// by curl plus the converters run on their own, in the same rounds. Prints
// medians in milliseconds and the download pipeline's overhead.
#include <fcntl.h>
#include <signal.h>
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
#include "bench_support.h"
#include "download_rounds.h"
#include "app_globals.h"
#include "fetch_globals.h"
#include "image_writer.h"
#include "layer_control.h"
#include "pixel_source.h"

namespace {

constexpr int kRuns = 5;

using bench::Call;
using bench::Median;
using bench::Samples;
using bench::Spawn;
using bench::TimeMs;
using bench::StartHiddenWith;
using bench::TickAndDownload;

bool Draw(const std::string& folder) {
  std::string script =
      "import sys\n"
      "from PIL import Image, ImageDraw\n"
      "def picture(w, h):\n"
      "    bands = [Image.linear_gradient('L').resize((w, h)), Image.radial_gradient('L').resize((w, h)),\n"
      "             Image.effect_noise((w, h), 60)]\n"
      "    im = Image.merge('RGB', bands)\n"
      "    d = ImageDraw.Draw(im)\n"
      "    for i in range(40):\n"
      "        d.ellipse((i * w // 43, i * h // 54, i * w // 43 + w // 10, i * h // 54 + h // 7),\n"
      "                  outline=(255 - i * 6, i * 6, 128), width=5)\n"
      "    return im\n"
      "picture(1920, 1080).quantize(256).save(sys.argv[1] + '/picture.gif')\n"
      "picture(4000, 3000).save(sys.argv[1] + '/picture.jpg', quality=90)\n";
  return Spawn({SKERROW_PYTHON, "-c", script, folder}) == 0;
}

bench::Server StartServer(const std::string& folder) {
  std::string script =
      "import sys, functools, http.server\n"
      "class Quiet(http.server.SimpleHTTPRequestHandler):\n"
      "    def log_message(self, *args): pass\n"
      "handler = functools.partial(Quiet, directory=sys.argv[1])\n"
      "server = http.server.ThreadingHTTPServer(('127.0.0.1', 0), handler)\n"
      "print(server.server_port, flush=True)\n"
      "server.serve_forever()\n";
  return bench::StartServer(script, folder);
}

}  // namespace

int main() {
  bench::ScratchFolder();
  const std::string dir = std::filesystem::temp_directory_path() / ("skerrow-http-bench-" + std::to_string(getpid()));
  const std::string site = dir + "/site";
  std::filesystem::create_directories(dir + "/temp");
  std::filesystem::create_directories(site);
  setenv("TEMP", (dir + "/temp").c_str(), 1);
  setenv("XDG_STATE_HOME", (dir + "/state").c_str(), 1);
  if (!Draw(site)) {
    std::fprintf(stderr, "could not draw the pictures\n");
    return 1;
  }
  bench::Server server = StartServer(site);
  if (server.port == 0) {
    std::fprintf(stderr, "could not start the server\n");
    return 1;
  }
  // The converters talk on stderr; keep the figures readable.
  std::FILE* quiet = std::freopen("/dev/null", "w", stderr);
  (void)quiet;

  const std::string base = "http://127.0.0.1:" + std::to_string(server.port) + "/";
  const std::string fetched = dir + "/fetched", jpg_out = dir + "/alone.jpg", bmp_out = dir + "/alone.bmp";
  auto curl = [&](const std::string& name) {
    return TimeMs([&] { bench::Require(Spawn({"/usr/bin/curl", "-sf", "-o", fetched, base + name}), "curl"); });
  };
  auto alone_gif = [&] {
    return TimeMs([&] { bench::Require(Call(RunCjpeg, {"cjpeg", "-quality", "100", fetched, jpg_out}), "cjpeg"); }) +
           TimeMs([&] { bench::Require(Call(RunDjpeg, {"djpeg", "-bmp", jpg_out, bmp_out}), "djpeg"); });
  };
  auto alone_jpeg = [&] { return TimeMs([&] { bench::Require(Call(RunDjpeg, {"djpeg", "-bmp", fetched, bmp_out}), "djpeg"); }); };
  auto wallpaper_call = [&] {
    return TimeMs([&] {
      std::snprintf(ScratchBuffer, sizeof ScratchBuffer, "%s", bmp_out.c_str());
      SystemParametersInfoA(SPI_SETDESKWALLPAPER, 0, ScratchBuffer, 0);
    });
  };

  // Rounds alternate between the program and the plain route, so that the
  // load of a shared machine falls on both alike.
  Samples gif_pipeline, gif_plain, gif_download, jpeg_pipeline, jpeg_plain, jpeg_download, gif_store, jpeg_store;
  for (int round = 0; round < kRuns; ++round) {
    StartHiddenWith(base + "picture.gif");
    gif_pipeline.push_back(TimeMs(TickAndDownload));
    double download = curl("picture.gif");
    gif_download.push_back(download);
    gif_plain.push_back(download + alone_gif());
    gif_store.push_back(wallpaper_call());

    StartHiddenWith(base + "picture.jpg");
    jpeg_pipeline.push_back(TimeMs(TickAndDownload));
    download = curl("picture.jpg");
    jpeg_download.push_back(download);
    jpeg_plain.push_back(download + alone_jpeg());
    jpeg_store.push_back(wallpaper_call());
    std::remove(jpg_out.c_str());
    std::remove(bmp_out.c_str());
  }
  LayerReset();
  bench::Stop(server.pid);

  auto report = [&](const char* what, Samples& pipeline_samples, Samples& plain_samples, Samples& download_samples,
                    Samples& store_samples) {
    double to_call = Median(pipeline_samples) - Median(store_samples);
    double plain = Median(plain_samples);
    std::printf("%-22s tick to wallpaper %8.1f ms, to the call %8.1f ms | curl %6.1f ms + converters = %8.1f ms | "
                "overhead %+5.1f%%\n",
                what, Median(pipeline_samples), to_call, Median(download_samples), plain,
                100.0 * (to_call - plain) / plain);
  };
  std::printf("median of %d rounds over loopback\n", kRuns);
  report("GIF 1920x1080", gif_pipeline, gif_plain, gif_download, gif_store);
  report("JPEG 4000x3000", jpeg_pipeline, jpeg_plain, jpeg_download, jpeg_store);
  std::filesystem::remove_all(dir);
  return 0;
}
