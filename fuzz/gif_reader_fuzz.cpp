// The GIF reader end to end on arbitrary bytes: header, every row, finish,
// with a fresh compressor per input and recovery through the run's manager.
#include <cstdint>
#include <cstdio>
#include <csetjmp>

#include "converter_support.h"
#include "pixel_source.h"

namespace {

// Bigger pictures only repeat the same code paths, more slowly.
constexpr std::uint64_t kMaxPixels = 1u << 20;

void Silent(j_common_ptr) {}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;  // fmemopen refuses an empty buffer
  std::FILE* file = fmemopen(const_cast<std::uint8_t*>(data), size, "rb");
  if (file == nullptr) return 0;

  jpeg_compress_struct compressor;
  ConverterErrorManager manager;
  compressor.err = InitConverterErrorManager(&manager);
  manager.pub.output_message = Silent;
  jpeg_create_compress(&compressor);
  manager.input_file = file;

  volatile unsigned checksum = 0;
  if (setjmp(manager.escape) == 0) {
    PixelSource* source = OpenGifReader(&compressor);
    source->InputFile = file;
    source->ReadHeader(&compressor, source);
    std::uint64_t pixels =
        static_cast<std::uint64_t>(compressor.image_width) * compressor.image_height;
    if (pixels <= kMaxPixels) {
      (*compressor.mem->realize_virt_arrays)(reinterpret_cast<j_common_ptr>(&compressor));
      JDIMENSION samples = compressor.image_width * compressor.input_components;
      for (JDIMENSION row = 0; row < compressor.image_height; ++row) {
        JDIMENSION n = source->ReadRows(&compressor, source);
        for (JDIMENSION r = 0; r < n; ++r) {
          for (JDIMENSION i = 0; i < samples; ++i) checksum = checksum + source->RowBuffer[r][i];
        }
      }
      source->FinishReading(&compressor, source);
    }
  }
  jpeg_destroy_compress(&compressor);
  CloseRunFiles(&manager);
  return 0;
}
