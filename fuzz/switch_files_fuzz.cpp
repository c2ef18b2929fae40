// Feeds arbitrary bytes to the four switch-argument parsers: as a table file
// and a scan script (through a real file, as the command opens them by name)
// and, up to the first NUL, as a slot list and a sampling list. Whatever they
// accept is then handed to the library on a small picture, so settings the
// parsers let through meet the library's own checks.
#include <csetjmp>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <unistd.h>

#include "converter_support.h"
#include "switch_files.h"

namespace {

// One file per process, rewritten for every input, removed at exit.
struct SwitchFile {
  std::string path;
  SwitchFile() {
    char name[] = "/tmp/switch-files-fuzz-XXXXXX";
    int fd = mkstemp(name);
    if (fd >= 0) {
      close(fd);
      path = name;
    }
  }
  ~SwitchFile() {
    if (!path.empty()) unlink(path.c_str());
  }
};

const char* SwitchFilePath() {
  static SwitchFile file;
  return file.path.empty() ? nullptr : file.path.c_str();
}

void FormatSilently(j_common_ptr object) {
  char text[JMSG_LENGTH_MAX];
  (*object->err->format_message)(object, text);
}

constexpr int kSide = 16;

// Holds nothing with a destructor: a fatal error jumps back into it.
void ParseAndCompress(const char* file_name, const char* list) {
  jpeg_compress_struct compressor;
  ConverterErrorManager manager;
  compressor.err = InitConverterErrorManager(&manager);
  manager.pub.output_message = FormatSilently;
  jpeg_create_compress(&compressor);
  unsigned char* jpeg = nullptr;
  unsigned long jpeg_size = 0;
  if (setjmp(manager.escape) == 0) {
    compressor.image_width = kSide;
    compressor.image_height = kSide;
    compressor.input_components = 3;
    compressor.in_color_space = JCS_RGB;
    jpeg_set_defaults(&compressor);
    jpeg_set_quality(&compressor, 75, FALSE);
    LoadQuantTables(&compressor, file_name, 100, false);
    ApplyTableSlots(&compressor, list);
    ApplySamplingFactors(&compressor, list);
    LoadScanScript(&compressor, file_name);
    jpeg_mem_dest(&compressor, &jpeg, &jpeg_size);
    jpeg_start_compress(&compressor, TRUE);
    JSAMPLE row[kSide * 3];
    for (int i = 0; i < kSide * 3; ++i) row[i] = static_cast<JSAMPLE>(i * 5);
    JSAMPROW rows[1] = {row};
    while (compressor.next_scanline < compressor.image_height) jpeg_write_scanlines(&compressor, rows, 1);
    jpeg_finish_compress(&compressor);
  }
  jpeg_destroy_compress(&compressor);
  CloseRunFiles(&manager);
  std::free(jpeg);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const char* path = SwitchFilePath();
  if (path == nullptr) return 0;
  std::FILE* file = std::fopen(path, "wb");
  if (file == nullptr) return 0;
  std::fwrite(data, 1, size, file);
  std::fclose(file);
  std::string list(reinterpret_cast<const char*>(data), size);
  ParseAndCompress(path, list.c_str());
  return 0;
}
