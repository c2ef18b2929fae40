// The encoding command on a large GIF at quality 100 (what the wallpaper
// pipeline asks for) against the bare library compressing the same pixels
// from memory. Prints the median wall times and their ratio (target <= 1.3).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <gif_lib.h>
#include <jpeglib.h>
#include <unistd.h>

#include "bench_support.h"
#include "pixel_source.h"

namespace {

constexpr int kWidth = 4000;
constexpr int kHeight = 3000;
constexpr int kRounds = 5;

// A smooth picture with noise on top, the way a photograph reduced to 256
// colours looks to the LZW coder; plain or interlaced row order.
bool MakeGif(const std::string& path, bool interlaced) {
  std::string command = std::string(SKERROW_PYTHON) +
      " -c \""
      "import sys\n"
      "from PIL import Image, ImageChops\n"
      "w, h = int(sys.argv[2]), int(sys.argv[3])\n"
      "ramp = Image.linear_gradient('L').resize((w, h))\n"
      "noise = Image.effect_noise((w, h), 24)\n"
      "mixed = ImageChops.add(ramp, noise, 2.0, -64)\n"
      "im = Image.frombytes('P', (w, h), mixed.tobytes())\n"
      "im.putpalette([v for i in range(256) for v in (i, (i * 7) % 256, 255 - i)])\n"
      "im.save(sys.argv[1], interlace=int(sys.argv[4]))\n"
      "\" " + path + " " + std::to_string(kWidth) + " " + std::to_string(kHeight) + " " +
      (interlaced ? "1" : "0");
  return std::system(command.c_str()) == 0;
}

// The GIF's first image as RGB rows, by giflib.
bool DecodeGif(const std::string& path, std::vector<JSAMPLE>* rgb) {
  int error = 0;
  GifFileType* gif = DGifOpenFileName(path.c_str(), &error);
  if (gif == nullptr) return false;
  bool ok = DGifSlurp(gif) == GIF_OK && gif->ImageCount > 0;
  if (ok) {
    const SavedImage& image = gif->SavedImages[0];
    const ColorMapObject* map = image.ImageDesc.ColorMap ? image.ImageDesc.ColorMap : gif->SColorMap;
    const int width = image.ImageDesc.Width;
    const int height = image.ImageDesc.Height;
    ok = map != nullptr && width == kWidth && height == kHeight;
    if (ok) {
      rgb->resize(static_cast<std::size_t>(width) * height * 3);
      // DGifSlurp has already put interlaced rows in display order.
      for (int y = 0; y < height; ++y) {
        const GifByteType* indexes = image.RasterBits + static_cast<std::size_t>(y) * width;
        JSAMPLE* out = rgb->data() + static_cast<std::size_t>(y) * width * 3;
        for (int x = 0; x < width; ++x) {
          int index = indexes[x];
          const GifColorType& colour = map->Colors[index < map->ColorCount ? index : 0];
          out[3 * x] = colour.Red;
          out[3 * x + 1] = colour.Green;
          out[3 * x + 2] = colour.Blue;
        }
      }
    }
  }
  DGifCloseFile(gif, &error);
  return ok;
}

// What the command does for these pixels, minus the reader.
void CompressFromMemory(const std::vector<JSAMPLE>& rgb, const std::string& out_path) {
  jpeg_compress_struct compressor;
  jpeg_error_mgr err;
  compressor.err = jpeg_std_error(&err);
  jpeg_create_compress(&compressor);
  std::FILE* out = std::fopen(out_path.c_str(), "wb");
  jpeg_stdio_dest(&compressor, out);
  compressor.image_width = kWidth;
  compressor.image_height = kHeight;
  compressor.input_components = 3;
  compressor.in_color_space = JCS_RGB;
  jpeg_set_defaults(&compressor);
  jpeg_default_colorspace(&compressor);
  jpeg_set_quality(&compressor, 100, FALSE);
  jpeg_start_compress(&compressor, TRUE);
  while (compressor.next_scanline < compressor.image_height) {
    JSAMPROW row = const_cast<JSAMPLE*>(rgb.data()) + std::size_t{compressor.next_scanline} * kWidth * 3;
    jpeg_write_scanlines(&compressor, &row, 1);
  }
  jpeg_finish_compress(&compressor);
  jpeg_destroy_compress(&compressor);
  std::fclose(out);
}

template <typename Work>
double MedianSeconds(Work work) {
  std::vector<double> times;
  for (int round = 0; round < kRounds; ++round) {
    auto start = std::chrono::steady_clock::now();
    work();
    times.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  std::sort(times.begin(), times.end());
  return times[kRounds / 2];
}

// Times one kind of GIF; returns false when the two sides disagree.
bool Compare(const std::string& folder, bool interlaced) {
  const std::string gif = folder + "/big.gif";
  const std::string command_out = folder + "/command.jpg";
  const std::string baseline_out = folder + "/baseline.jpg";
  std::vector<JSAMPLE> rgb;
  if (!MakeGif(gif, interlaced) || !DecodeGif(gif, &rgb)) {
    std::fprintf(stderr, "could not make or decode the test GIF\n");
    return false;
  }

  int failures = 0;
  double command = MedianSeconds([&] {
    std::vector<std::string> words = {"cjpeg", "-quality", "100", gif, command_out};
    std::vector<char*> argv;
    for (auto& word : words) argv.push_back(word.data());
    if (RunCjpeg(static_cast<int>(argv.size()), argv.data()) != 0) ++failures;
  });
  double baseline = MedianSeconds([&] { CompressFromMemory(rgb, baseline_out); });

  // Both sides must have done the same work.
  auto slurp = [](const std::string& path) {
    std::string bytes;
    if (std::FILE* file = std::fopen(path.c_str(), "rb")) {
      char buffer[65536];
      std::size_t n;
      while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) bytes.append(buffer, n);
      std::fclose(file);
    }
    return bytes;
  };
  if (slurp(command_out) != slurp(baseline_out)) {
    std::fprintf(stderr, "the command's JPEG differs from the bare library's\n");
    ++failures;
  }

  const char* kind = interlaced ? "interlaced" : "plain";
  std::printf("%s %dx%d GIF, cjpeg -quality 100: median %.3f s over %d runs\n", kind, kWidth, kHeight,
              command, kRounds);
  std::printf("%s %dx%d GIF, bare library from memory: median %.3f s\n", kind, kWidth, kHeight, baseline);
  std::printf("%s ratio %.3f (target <= 1.3)%s\n", kind, command / baseline,
              failures ? ", COMMAND FAILED" : "");
  std::remove(gif.c_str());
  std::remove(command_out.c_str());
  std::remove(baseline_out.c_str());
  return failures == 0;
}

}  // namespace

int main() {
  std::string folder = bench::ScratchFolder() + "/cjpeg-bench-XXXXXX";
  if (mkdtemp(folder.data()) == nullptr) return 1;
  bool ok = Compare(folder, false);
  ok = Compare(folder, true) && ok;
  rmdir(folder.c_str());
  return ok ? 0 : 1;
}
