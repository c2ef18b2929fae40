// The GIF reader alone on a 4000 x 3000 picture (plain and interlaced),
// against giflib decoding the same file into RGB rows. Prints median wall
// times in milliseconds and the reader's ratio to giflib (target: <= 1).
#include <gif_lib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "bench_support.h"
#include "converter_support.h"
#include "pixel_source.h"

namespace {

constexpr int kWidth = 4000;
constexpr int kHeight = 3000;
constexpr int kRuns = 7;

double MedianMs(const std::function<void()>& run) {
  std::vector<double> times;
  for (int i = 0; i < kRuns; ++i) {
    auto start = std::chrono::steady_clock::now();
    run();
    times.push_back(
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
  }
  std::sort(times.begin(), times.end());
  return times[kRuns / 2];
}

// A photograph-like picture: smooth gradients with grain, 256 colours.
bool WritePicture(const std::string& path, bool interlaced) {
  int error = 0;
  GifFileType* gif = EGifOpenFileName(path.c_str(), false, &error);
  if (gif == nullptr) return false;
  GifColorType colours[256];
  for (int i = 0; i < 256; ++i) {
    colours[i] = {static_cast<GifByteType>(i), static_cast<GifByteType>((i * 3) & 255),
                  static_cast<GifByteType>(255 - i)};
  }
  ColorMapObject* map = GifMakeMapObject(256, colours);
  bool ok = EGifPutScreenDesc(gif, kWidth, kHeight, 8, 0, map) == GIF_OK &&
            EGifPutImageDesc(gif, 0, 0, kWidth, kHeight, interlaced, nullptr) == GIF_OK;
  std::vector<int> order;
  if (interlaced) {
    const int first[4] = {0, 4, 2, 1}, step[4] = {8, 8, 4, 2};
    for (int pass = 0; pass < 4; ++pass) {
      for (int y = first[pass]; y < kHeight; y += step[pass]) order.push_back(y);
    }
  } else {
    for (int y = 0; y < kHeight; ++y) order.push_back(y);
  }
  std::vector<GifPixelType> line(kWidth);
  for (int y : order) {
    std::uint32_t seed = static_cast<std::uint32_t>(y) * 2654435761u;
    for (int x = 0; x < kWidth; ++x) {
      seed = seed * 1664525u + 1013904223u;
      int grain = static_cast<int>(seed >> 29);  // 0..7
      line[x] = static_cast<GifPixelType>((x / 16 + y / 12 + grain) & 255);
    }
    ok = ok && EGifPutLine(gif, line.data(), kWidth) == GIF_OK;
  }
  GifFreeMapObject(map);
  return EGifCloseFile(gif, &error) == GIF_OK && ok;
}

// The reader as the command drives it; returns a checksum of the rows.
std::uint64_t ReadWithReader(const std::string& path) {
  jpeg_compress_struct compressor;
  ConverterErrorManager manager;
  compressor.err = InitConverterErrorManager(&manager);
  jpeg_create_compress(&compressor);
  manager.input_file = std::fopen(path.c_str(), "rb");
  volatile std::uint64_t sum = 0;
  if (manager.input_file != nullptr && setjmp(manager.escape) == 0) {
    PixelSource* source = OpenGifReader(&compressor);
    source->InputFile = manager.input_file;
    source->ReadHeader(&compressor, source);
    (*compressor.mem->realize_virt_arrays)(reinterpret_cast<j_common_ptr>(&compressor));
    std::uint64_t local = 0;
    for (JDIMENSION row = 0; row < compressor.image_height; ++row) {
      source->ReadRows(&compressor, source);
      local += source->RowBuffer[0][row % (compressor.image_width * 3)];
    }
    source->FinishReading(&compressor, source);
    sum = local;
  }
  jpeg_destroy_compress(&compressor);
  CloseRunFiles(&manager);
  return sum;
}

// giflib to RGB rows, top first: interlaced pictures are gathered whole
// before the first row can be handed out, as the reader must do too.
std::uint64_t ReadWithGiflib(const std::string& path) {
  int error = 0;
  GifFileType* gif = DGifOpenFileName(path.c_str(), &error);
  if (gif == nullptr) return 0;
  GifRecordType type;
  std::uint64_t sum = 0;
  while (DGifGetRecordType(gif, &type) == GIF_OK && type != IMAGE_DESC_RECORD_TYPE) {
    if (type == TERMINATE_RECORD_TYPE) break;
  }
  if (type == IMAGE_DESC_RECORD_TYPE && DGifGetImageDesc(gif) == GIF_OK) {
    int width = gif->Image.Width, height = gif->Image.Height;
    const ColorMapObject* map = gif->Image.ColorMap ? gif->Image.ColorMap : gif->SColorMap;
    std::vector<unsigned char> rgb(static_cast<std::size_t>(width) * 3);
    auto expand = [&](const GifPixelType* indexes, int row) {
      for (int x = 0; x < width; ++x) {
        const GifColorType& c = map->Colors[indexes[x]];
        rgb[3 * x] = c.Red;
        rgb[3 * x + 1] = c.Green;
        rgb[3 * x + 2] = c.Blue;
      }
      sum += rgb[row % (width * 3)];
    };
    if (gif->Image.Interlace) {
      std::vector<GifPixelType> whole(static_cast<std::size_t>(width) * height);
      const int first[4] = {0, 4, 2, 1}, step[4] = {8, 8, 4, 2};
      for (int pass = 0; pass < 4; ++pass) {
        for (int y = first[pass]; y < height; y += step[pass]) {
          DGifGetLine(gif, &whole[static_cast<std::size_t>(y) * width], width);
        }
      }
      for (int y = 0; y < height; ++y) expand(&whole[static_cast<std::size_t>(y) * width], y);
    } else {
      std::vector<GifPixelType> line(width);
      for (int y = 0; y < height; ++y) {
        DGifGetLine(gif, line.data(), width);
        expand(line.data(), y);
      }
    }
  }
  DGifCloseFile(gif, &error);
  return sum;
}

}  // namespace

int main() {
  bench::ScratchFolder();
  const char* temp = std::getenv("TMPDIR");
  std::string folder = temp != nullptr && *temp != '\0' ? temp : "/tmp";
  int status = 0;
  for (bool interlaced : {false, true}) {
    std::string path = folder + "/gif_reader_bench_" + std::to_string(getpid()) +
                       (interlaced ? "_interlaced.gif" : ".gif");
    if (!WritePicture(path, interlaced)) {
      std::fprintf(stderr, "cannot write %s\n", path.c_str());
      return 1;
    }
    if (ReadWithReader(path) != ReadWithGiflib(path)) {
      std::fprintf(stderr, "reader and giflib disagree on %s\n", path.c_str());
      status = 1;
    }
    double reader = MedianMs([&] { ReadWithReader(path); });
    double giflib = MedianMs([&] { ReadWithGiflib(path); });
    std::printf("%s %dx%d: reader %.1f ms, giflib %.1f ms, ratio %.2f (target <= 1.00)\n",
                interlaced ? "interlaced" : "plain     ", kWidth, kHeight, reader, giflib,
                reader / giflib);
    std::remove(path.c_str());
  }
  return status;
}
