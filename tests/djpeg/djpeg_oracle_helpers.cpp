#include "djpeg_oracle_helpers.h"

#include <dirent.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <utility>

#include <jpeglib.h>

#include "test_support.h"

namespace djpegoracle {

namespace {

unsigned Byte(const std::string& bytes, std::size_t at) { return static_cast<unsigned char>(bytes[at]); }

std::uint32_t Little(const std::string& bytes, std::size_t at, int size) {
  std::uint32_t value = 0;
  for (int i = size - 1; i >= 0; --i) value = (value << 8) | Byte(bytes, at + static_cast<std::size_t>(i));
  return value;
}

void PutBig16(std::string& bytes, std::size_t at, unsigned value) {
  bytes[at] = static_cast<char>((value >> 8) & 0xFF);
  bytes[at + 1] = static_cast<char>(value & 0xFF);
}

}  // namespace

std::string WithSegment(const std::string& jpeg, int marker, const std::string& payload, int length_field) {
  std::string segment(4, '\0');
  segment[0] = static_cast<char>(0xFF);
  segment[1] = static_cast<char>(marker);
  PutBig16(segment, 2, length_field >= 0 ? static_cast<unsigned>(length_field)
                                         : static_cast<unsigned>(payload.size() + 2));
  return jpeg.substr(0, 2) + segment + payload + jpeg.substr(2);
}

std::string WithJfifDensity(const std::string& jpeg, int unit, int x_density, int y_density) {
  if (jpeg.size() < 20 || jpeg.compare(6, 5, std::string("JFIF\0", 5)) != 0)
    throw std::runtime_error("no JFIF segment after SOI");
  std::string edited = jpeg;
  edited[13] = static_cast<char>(unit);
  PutBig16(edited, 14, static_cast<unsigned>(x_density));
  PutBig16(edited, 16, static_cast<unsigned>(y_density));
  return edited;
}

std::string WithFrameSize(const std::string& jpeg, unsigned width, unsigned height) {
  for (std::size_t at = 2; at + 9 < jpeg.size();) {
    if (Byte(jpeg, at) != 0xFF) break;
    const unsigned marker = Byte(jpeg, at + 1);
    if (marker == 0xC0 || marker == 0xC1 || marker == 0xC2) {
      std::string edited = jpeg;
      PutBig16(edited, at + 5, height);
      PutBig16(edited, at + 7, width);
      return edited;
    }
    at += 2 + (Byte(jpeg, at + 2) << 8 | Byte(jpeg, at + 3));
  }
  throw std::runtime_error("no frame header");
}

std::string MakeJpegWithRestarts(int width, int height, int components, int restart_rows) {
  jpeg_compress_struct compressor;
  jpeg_error_mgr errors;
  compressor.err = jpeg_std_error(&errors);  // a failure ends the test program: fine for a fixture
  jpeg_create_compress(&compressor);
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&compressor, &buffer, &size);
  compressor.image_width = static_cast<JDIMENSION>(width);
  compressor.image_height = static_cast<JDIMENSION>(height);
  compressor.input_components = components;
  compressor.in_color_space = components == 1 ? JCS_GRAYSCALE : JCS_RGB;
  jpeg_set_defaults(&compressor);
  jpeg_set_quality(&compressor, 90, TRUE);
  compressor.restart_in_rows = restart_rows;
  jpeg_start_compress(&compressor, TRUE);
  std::vector<JSAMPLE> row(static_cast<std::size_t>(width * components));
  while (compressor.next_scanline < compressor.image_height) {
    const int y = static_cast<int>(compressor.next_scanline);
    for (int x = 0; x < width; ++x)
      for (int c = 0; c < components; ++c)
        row[static_cast<std::size_t>(x * components + c)] =
            static_cast<JSAMPLE>((x * 7 + y * (3 + c) + ((x ^ y) & 15) * 5 + c * 60) & 0xFF);
    JSAMPROW rows[1] = {row.data()};
    jpeg_write_scanlines(&compressor, rows, 1);
  }
  jpeg_finish_compress(&compressor);
  jpeg_destroy_compress(&compressor);
  std::string jpeg(reinterpret_cast<const char*>(buffer), size);
  std::free(buffer);
  return jpeg;
}

void MakeJpegs(const std::vector<JpegRecipe>& recipes) {
  const std::string script =
      "import sys, random\n"
      "from PIL import Image\n"
      "args = sys.argv[1:]\n"
      "for i in range(0, len(args), 5):\n"
      "    path, mode, w, h, options = args[i], args[i + 1], int(args[i + 2]), int(args[i + 3]), args[i + 4]\n"
      "    ramp = Image.linear_gradient('L')\n"
      "    bands = [ramp.rotate(angle).resize((w, h)) for angle in (0, 90, 180, 270)][:len(mode)]\n"
      "    smooth = Image.merge(mode, bands) if len(bands) > 1 else bands[0]\n"
      "    noise = Image.frombytes(mode, (w, h), random.Random(i).randbytes(w * h * len(bands)))\n"
      "    picture = Image.blend(smooth, noise, 0.15)\n"
      "    picture.save(path, 'JPEG', **eval('dict(' + options + ')'))\n";
  std::vector<std::string> args;
  for (const auto& recipe : recipes)
    args.insert(args.end(), {recipe.path, recipe.mode, std::to_string(recipe.width), std::to_string(recipe.height),
                             recipe.options});
  auto result = testsupport::RunPython(script, args);
  if (result.exit_code != 0) throw std::runtime_error("Pillow could not make the pictures: " + result.err);
}

std::vector<std::string> DecodeWithPillow(const std::vector<std::string>& paths) {
  const std::string script =
      "import sys\n"
      "from PIL import Image\n"
      "for path in sys.argv[1:]:\n"
      "    try:\n"
      "        data = Image.open(path).tobytes()\n"
      "    except Exception:\n"
      "        data = b''\n"
      "    open(path + '.pillow', 'wb').write(data)\n";
  auto result = testsupport::RunPython(script, paths);
  if (result.exit_code != 0) throw std::runtime_error("Pillow failed: " + result.err);
  std::vector<std::string> samples;
  for (const auto& path : paths) {
    samples.push_back(testsupport::ReadFile(path + ".pillow"));
    std::remove((path + ".pillow").c_str());
  }
  return samples;
}

BmpFile ParseBmp(const std::string& bytes) {
  BmpFile bmp;
  if (bytes.size() < 26 || bytes.compare(0, 2, "BM") != 0) return bmp;
  bmp.file_size = Little(bytes, 2, 4);
  bmp.header_size = Little(bytes, 10, 4);
  bmp.info_size = Little(bytes, 14, 4);
  std::size_t table_at = 0;
  std::size_t entry_size = 0;
  if (bmp.info_size == 12) {
    bmp.width = Little(bytes, 18, 2);
    bmp.height = Little(bytes, 20, 2);
    bmp.planes = Little(bytes, 22, 2);
    bmp.bits_per_pixel = Little(bytes, 24, 2);
    table_at = 26;
    entry_size = 3;
  } else if (bmp.info_size == 40 && bytes.size() >= 54) {
    bmp.width = static_cast<std::int32_t>(Little(bytes, 18, 4));
    bmp.height = static_cast<std::int32_t>(Little(bytes, 22, 4));
    bmp.planes = Little(bytes, 26, 2);
    bmp.bits_per_pixel = Little(bytes, 28, 2);
    bmp.compression = Little(bytes, 30, 4);
    bmp.image_size = Little(bytes, 34, 4);
    bmp.x_pixels_per_metre = Little(bytes, 38, 4);
    bmp.y_pixels_per_metre = Little(bytes, 42, 4);
    bmp.colours_used = Little(bytes, 46, 4);
    bmp.colours_important = Little(bytes, 50, 4);
    table_at = 54;
    entry_size = 4;
  } else {
    return bmp;
  }
  if (bmp.header_size < table_at || bmp.header_size > bytes.size()) return bmp;
  bmp.table = bytes.substr(table_at, bmp.header_size - table_at);
  bmp.pixels = bytes.substr(bmp.header_size);
  bmp.ok = bmp.table.size() % entry_size == 0;
  return bmp;
}

std::string RowsTopDown(const BmpFile& bmp) {
  const std::size_t pixel_bytes = bmp.bits_per_pixel / 8;
  const std::size_t row_samples = static_cast<std::size_t>(bmp.width) * pixel_bytes;
  const std::size_t file_row = (row_samples + 3) / 4 * 4;
  std::string rows;
  for (std::int64_t y = bmp.height - 1; y >= 0; --y) {
    const std::size_t at = static_cast<std::size_t>(y) * file_row;
    if (at + row_samples > bmp.pixels.size()) return {};
    std::string row = bmp.pixels.substr(at, row_samples);
    if (pixel_bytes == 3)
      for (std::size_t x = 0; x < row.size(); x += 3) std::swap(row[x], row[x + 2]);
    rows += row;
  }
  return rows;
}

int OpenFileCount() {
  int count = 0;
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (readdir(dir) != nullptr) ++count;
    closedir(dir);
  }
  return count;
}

}  // namespace djpegoracle
