// Arbitrary bytes as a JPEG file through the whole decoding command: the
// first byte picks the output form and the switches (-colors, -map, -fast,
// -grayscale, -scale, -dct, -nosmooth, -onepass, -dither), the rest is the
// file. Pictures claiming more than a megapixel are checked only up to
// their header, so that one input cannot take seconds; the memory limit
// makes the library refuse stores the fuzzer's memory cap would not hold.
#include <csetjmp>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

#include "converter_support.h"
#include "image_writer.h"

namespace {

// Kept low: every input is decoded, quantized and written in full, and a
// run of ten seconds under a loaded machine must stay out of reach.
constexpr std::uint64_t kMostPixels = std::uint64_t{1} << 20;

// A file the command can open by name, rewritten for every input.
struct MemoryFile {
  int fd = -1;
  std::string path;
  explicit MemoryFile(const char* name) {
    fd = memfd_create(name, 0);
    if (fd >= 0) path = "/proc/self/fd/" + std::to_string(fd);
  }
  bool Hold(const std::uint8_t* data, std::size_t size) {
    return fd >= 0 && ftruncate(fd, 0) == 0 &&
           pwrite(fd, data, size, 0) == static_cast<ssize_t>(size);
  }
};

// A fixed map of eight colours, in the PPM form the -map switch reads.
const std::string& MapFilePath() {
  static MemoryFile map("djpeg-fuzz-map");
  static const bool written = [] {
    const std::string ppm = "P3 4 2 255 0 0 0 255 255 255 255 0 0 0 255 0 0 0 255 255 255 0 0 255 255 255 0 255 ";
    return map.Hold(reinterpret_cast<const std::uint8_t*>(ppm.data()), ppm.size());
  }();
  (void)written;
  return map.path;
}

void Silently(j_common_ptr) {}

// What the header claims, or 0 when it cannot be read.
std::uint64_t ClaimedPixels(const std::uint8_t* data, std::size_t size) {
  jpeg_decompress_struct decompressor;
  ConverterErrorManager manager;
  decompressor.err = InitConverterErrorManager(&manager);
  manager.pub.output_message = Silently;
  jpeg_create_decompress(&decompressor);
  volatile std::uint64_t pixels = 0;
  if (setjmp(manager.escape) == 0) {
    jpeg_mem_src(&decompressor, data, static_cast<unsigned long>(size));
    jpeg_read_header(&decompressor, TRUE);
    pixels = std::uint64_t{decompressor.image_width} * decompressor.image_height;
  }
  jpeg_destroy_decompress(&decompressor);
  return pixels;
}

constexpr const char* kForms[] = {"-bmp", "-os2", "-gif", "-pnm", "-targa"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const unsigned choice = data[0];
  data += 1;
  size -= 1;
  const std::uint64_t pixels = ClaimedPixels(data, size);
  if (pixels == 0 || pixels > kMostPixels) return 0;

  static MemoryFile input("djpeg-fuzz-input");
  if (!input.Hold(data, size)) return 0;

  std::vector<std::string> words = {"djpeg", "-maxmemory", "64m", kForms[choice % 5]};
  switch ((choice / 5) % 4) {
    case 1: words.insert(words.end(), {"-colors", std::to_string(2 + (choice >> 2) % 255)}); break;
    case 2: words.insert(words.end(), {"-map", MapFilePath()}); break;
    case 3: words.insert(words.end(), {"-fast", "-onepass", "-dither", "ordered"}); break;
    default: break;
  }
  if (choice & 0x20) words.push_back("-grayscale");
  if (choice & 0x40) words.insert(words.end(), {"-scale", "1/2", "-dct", "float", "-nosmooth"});
  if (choice & 0x80) words.insert(words.end(), {"-dither", "none", "-dct", "fast"});
  words.insert(words.end(), {input.path, "/dev/null"});

  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  RunDjpeg(static_cast<int>(argv.size() - 1), argv.data());
  return 0;
}
