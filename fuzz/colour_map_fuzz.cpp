// Arbitrary bytes as a -map file through the colour-map reader.
#include <csetjmp>
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "converter_support.h"
#include "image_writer.h"

namespace {

// Formats every message, as the real manager would, but prints nothing.
void FormatSilently(j_common_ptr object) {
  char text[JMSG_LENGTH_MAX];
  (*object->err->format_message)(object, text);
}

// Where the sum of the map goes, so reading it is not dropped.
volatile unsigned MapSink = 0;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;  // fmemopen refuses an empty buffer
  jpeg_decompress_struct decompressor;
  ConverterErrorManager manager;
  decompressor.err = InitConverterErrorManager(&manager);
  manager.pub.output_message = FormatSilently;
  jpeg_create_decompress(&decompressor);
  manager.extra_file = fmemopen(const_cast<std::uint8_t*>(data), size, "rb");
  if (manager.extra_file != nullptr && setjmp(manager.escape) == 0) {
    LoadColourMapFile(&decompressor, manager.extra_file);
    // Every entry the reader claims must be readable.
    unsigned sum = 0;
    for (int i = 0; i < decompressor.actual_number_of_colors; ++i)
      for (int c = 0; c < 3; ++c) sum += decompressor.colormap[c][i];
    MapSink = sum;
  }
  jpeg_destroy_decompress(&decompressor);
  CloseRunFiles(&manager);
  return 0;
}
