// Runs one encoding-converter reader over arbitrary bytes taken as its input
// file, from the header to the last row, the way the command drives it.
#pragma once

#include <csetjmp>
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "converter_support.h"
#include "pixel_source.h"

namespace readerfuzz {

// A picture claiming more than this is only checked up to its header, so
// that one input cannot take seconds to deliver, even on a loaded machine
// (every delivered sample is summed); the memory limit makes the library
// refuse whole-image arrays the fuzzer's memory cap would not hold.
constexpr std::uint64_t kMostPixels = std::uint64_t{1} << 20;
constexpr long kMemoryLimit = 64L * 1000 * 1000;

// Where the sum of the delivered samples goes, so reading them is not dropped.
inline volatile unsigned SampleSink = 0;

// Formats every message, as the real manager would, but prints nothing.
inline void FormatSilently(j_common_ptr object) {
  char text[JMSG_LENGTH_MAX];
  (*object->err->format_message)(object, text);
}

// Holds nothing with a destructor: a fatal error jumps back into it.
inline void ReadAll(PixelSource* (*open)(j_compress_ptr), const std::uint8_t* data, std::size_t size) {
  if (size == 0) return;  // the command refuses an empty file before any reader
  jpeg_compress_struct compressor;
  ConverterErrorManager manager;
  compressor.err = InitConverterErrorManager(&manager);
  manager.pub.output_message = FormatSilently;
  manager.pub.trace_level = 3;  // every trace and warning is formatted
  jpeg_create_compress(&compressor);
  compressor.mem->max_memory_to_use = kMemoryLimit;
  compressor.in_color_space = JCS_RGB;
  jpeg_set_defaults(&compressor);
  manager.input_file = fmemopen(const_cast<std::uint8_t*>(data), size, "rb");
  if (manager.input_file != nullptr && setjmp(manager.escape) == 0) {
    PixelSource* source = (*open)(&compressor);
    source->InputFile = manager.input_file;
    (*source->ReadHeader)(&compressor, source);
    const std::uint64_t pixels =
        std::uint64_t{compressor.image_width} * compressor.image_height;
    if (pixels <= kMostPixels) {
      (*compressor.mem->realize_virt_arrays)(reinterpret_cast<j_common_ptr>(&compressor));
      const std::size_t row_bytes =
          std::size_t{compressor.image_width} * compressor.input_components;
      unsigned checksum = 0;
      for (JDIMENSION row = 0; row < compressor.image_height; ++row) {
        (*source->ReadRows)(&compressor, source);
        // Touch every delivered sample so a row outside its buffer shows.
        for (std::size_t i = 0; i < row_bytes; ++i) checksum += source->RowBuffer[0][i];
      }
      (*source->FinishReading)(&compressor, source);
      SampleSink = checksum;
    }
  }
  jpeg_destroy_compress(&compressor);
  CloseRunFiles(&manager);
}

}  // namespace readerfuzz
