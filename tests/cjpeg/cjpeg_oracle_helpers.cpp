#include "cjpeg_oracle_helpers.h"

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <jpeglib.h>

#include "pixel_source.h"
#include "test_support.h"

namespace cjpegoracle {

namespace {

// Zigzag position -> natural position, for reading DQT segments.
constexpr int kZigzagToNatural[64] = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,
    12, 19, 26, 33, 40, 48, 41, 34, 27, 20, 13, 6,  7,  14, 21, 28,
    35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51,
    58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

}  // namespace

std::string CompressLikeCjpeg(const Pixels& pixels, const OracleOptions& options) {
  jpeg_compress_struct compressor;
  jpeg_error_mgr err;
  compressor.err = jpeg_std_error(&err);
  jpeg_create_compress(&compressor);

  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&compressor, &buffer, &size);

  compressor.image_width = static_cast<JDIMENSION>(pixels.width);
  compressor.image_height = static_cast<JDIMENSION>(pixels.height);
  compressor.input_components = pixels.components;
  compressor.in_color_space = pixels.components == 1 ? JCS_GRAYSCALE : JCS_RGB;
  compressor.data_precision = 8;
  jpeg_set_defaults(&compressor);
  if (options.density_unit >= 0) {
    compressor.density_unit = static_cast<UINT8>(options.density_unit);
    compressor.X_density = static_cast<UINT16>(options.x_density);
    compressor.Y_density = static_cast<UINT16>(options.y_density);
  }
  jpeg_default_colorspace(&compressor);
  jpeg_set_quality(&compressor, options.quality, options.force_baseline ? TRUE : FALSE);

  jpeg_start_compress(&compressor, TRUE);
  const std::size_t stride = static_cast<std::size_t>(pixels.width) * pixels.components;
  while (compressor.next_scanline < compressor.image_height) {
    JSAMPROW row = reinterpret_cast<JSAMPROW>(
        const_cast<char*>(pixels.samples.data()) + stride * compressor.next_scanline);
    jpeg_write_scanlines(&compressor, &row, 1);
  }
  jpeg_finish_compress(&compressor);
  jpeg_destroy_compress(&compressor);

  std::string result(reinterpret_cast<char*>(buffer), size);
  std::free(buffer);
  return result;
}

Pixels DecodeWithPillow(const std::string& path, int components) {
  // Header line "width height components", then the raw samples.
  static const char* const kScript =
      "import sys\n"
      "from PIL import Image\n"
      "im = Image.open(sys.argv[1])\n"
      "im.seek(0)\n"
      "if sys.argv[2] == '1':\n"
      "    if im.mode not in ('L', '1'):\n"
      "        sys.exit('not a grayscale picture: ' + im.mode)\n"
      "    im = im.convert('L')\n"
      "else:\n"
      "    im = im.convert('RGB')\n"
      "data = im.tobytes()\n"
      "sys.stdout.buffer.write(b'%d %d %s\\n' % (im.width, im.height, sys.argv[2].encode()))\n"
      "sys.stdout.buffer.write(data)\n";
  Pixels pixels;
  auto run = testsupport::RunPython(kScript, {path, std::to_string(components)});
  std::size_t newline = run.out.find('\n');
  int width = 0, height = 0, comps = 0;
  if (run.exit_code != 0 || newline == std::string::npos ||
      std::sscanf(run.out.c_str(), "%d %d %d", &width, &height, &comps) != 3) {
    pixels.samples = "Pillow failed: " + run.err;
    return pixels;
  }
  std::string samples = run.out.substr(newline + 1);
  if (samples.size() != static_cast<std::size_t>(width) * height * comps) {
    pixels.samples = "Pillow gave a short sample block";
    return pixels;
  }
  pixels.width = width;
  pixels.height = height;
  pixels.components = comps;
  pixels.samples = std::move(samples);
  return pixels;
}

std::array<std::vector<int>, 4> ReadQuantTables(const std::string& jpeg) {
  std::array<std::vector<int>, 4> tables;
  auto byte = [&](std::size_t i) { return static_cast<unsigned char>(jpeg[i]); };
  std::size_t pos = 2;  // past SOI
  while (pos + 4 <= jpeg.size() && byte(pos) == 0xFF) {
    int marker = byte(pos + 1);
    std::size_t length = (static_cast<std::size_t>(byte(pos + 2)) << 8) | byte(pos + 3);
    std::size_t end = pos + 2 + length;
    if (marker == 0xDA || end > jpeg.size()) break;  // tables precede the first scan
    if (marker == 0xDB) {
      std::size_t p = pos + 4;
      while (p < end) {
        int precision = byte(p) >> 4;
        int slot = byte(p) & 0x0F;
        ++p;
        std::vector<int> table(64);
        for (int k = 0; k < 64 && p < end; ++k) {
          int value = byte(p++);
          if (precision != 0 && p < end) value = (value << 8) | byte(p++);
          table[kZigzagToNatural[k]] = value;
        }
        if (slot < 4) tables[slot] = std::move(table);
      }
    }
    pos = end;
  }
  return tables;
}

CommandOutcome RunCjpegCapturing(const std::vector<std::string>& args) {
  testsupport::StderrCapture capture;
  int result = testsupport::CallWithArgs(RunCjpeg, args);
  return {result, capture.Finish()};
}

}  // namespace cjpegoracle
