// The PNG and WebP stages on a 4000 x 3000 photograph-like picture: the
// stage alone (file to bitmap file), the whole chain from the name to the
// wallpaper call, and the library decoding the same file into memory with
// nothing written, which is the floor the stage is measured against. Each
// case runs in a child process, so its peak memory is its own.
// Prints medians in milliseconds and peak resident sizes in MiB.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <png.h>
#include <webp/decode.h>

#include "bench_support.h"
#include "fetch_globals.h"
#include "layer_control.h"
#include "png_decoder.h"
#include "wallpaper.h"
#include "webp_decoder.h"

namespace {

constexpr int kRuns = 5;

bool Draw(const std::string& dir) {
  const std::string script =
      "import sys\n"
      "import numpy as np\n"
      "from PIL import Image\n"
      "h, w = 3000, 4000\n"
      "y, x = np.mgrid[0:h, 0:w]\n"
      "noise = np.random.default_rng(1).integers(0, 24, (h, w, 3))\n"
      "rgb = np.dstack([x * 255 // w, y * 255 // h, (x ^ y) & 255]) + noise\n"
      "im = Image.fromarray(np.clip(rgb, 0, 255).astype(np.uint8), 'RGB')\n"
      "d = sys.argv[1]\n"
      "im.save(d + '/photo.png')\n"
      "im.putalpha(Image.fromarray(((x + y) % 256).astype(np.uint8), 'L'))\n"
      "im.save(d + '/alpha.png')\n"
      "im.convert('RGB').save(d + '/lossy.webp', quality=85)\n"
      "im.save(d + '/lossless.webp', lossless=True, method=0)\n";
  return bench::Spawn({SKERROW_PYTHON, "-c", script, dir}) == 0;
}

// Wall time and peak resident size of `run` in a child of its own.
std::pair<double, double> Measure(const std::function<void()>& run) {
  pid_t pid = fork();
  if (pid == 0) {
    run();
    _exit(0);
  }
  int status = 0;
  rusage usage{};
  double ms = bench::TimeMs([&] { wait4(pid, &status, 0, &usage); });
  return {ms, usage.ru_maxrss / 1024.0};
}

void PngToMemory(const std::string& path) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&image, path.c_str())) return;
  image.format = PNG_FORMAT_RGBA;
  std::vector<png_byte> pixels(PNG_IMAGE_SIZE(image));
  png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr);
}

void WebpToMemory(const std::string& path) {
  std::string bytes;
  if (std::FILE* file = std::fopen(path.c_str(), "rb")) {
    char buffer[1 << 16];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) bytes.append(buffer, n);
    std::fclose(file);
  }
  int width = 0, height = 0;
  WebPFree(WebPDecodeRGBA(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), &width, &height));
}

}  // namespace

int main() {
  bench::ScratchFolder();
  const std::string dir = std::filesystem::temp_directory_path() / ("skerrow-bench-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir + "/temp");
  std::filesystem::create_directories(dir + "/pictures");
  setenv("TEMP", (dir + "/temp").c_str(), 1);
  setenv("XDG_STATE_HOME", (dir + "/state").c_str(), 1);
  if (!Draw(dir + "/pictures")) {
    std::fprintf(stderr, "cannot draw the pictures\n");
    return 1;
  }
  LayerReset();
  std::printf("%-14s %28s %28s %28s\n", "4000x3000", "library to memory", "stage to bitmap file",
              "chain to wallpaper");
  for (const char* name : {"photo.png", "alpha.png", "lossy.webp", "lossless.webp"}) {
    const std::string path = dir + "/pictures/" + name;
    const bool png = std::string(name).find(".png") != std::string::npos;
    const std::string out = dir + "/temp/out.bmp";
    std::vector<std::function<void()>> cases = {
        [&] { png ? PngToMemory(path) : WebpToMemory(path); },
        [&] { png ? DecodePngToBitmap(path.c_str(), out.c_str()) : DecodeWebpToBitmap(path.c_str(), out.c_str()); },
        [&] {
          std::snprintf(WorkDir, sizeof WorkDir, "%s/pictures/", dir.c_str());
          std::snprintf(LocalName, sizeof LocalName, "%s", name);
          ApplyWallpaper(0);
        },
    };
    std::printf("%-14s", name);
    for (const auto& run : cases) {
      bench::Samples times, sizes;
      for (int i = 0; i < kRuns; ++i) {
        auto [ms, mib] = Measure(run);
        times.push_back(ms);
        sizes.push_back(mib);
      }
      std::printf(" %14.1f ms %8.1f MiB", bench::Median(times), bench::Median(sizes));
    }
    std::printf("\n");
  }
  std::filesystem::remove_all(dir);
  return 0;
}
