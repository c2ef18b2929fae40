// Arbitrary bytes as a GIF file through the GIF reader, header to last row.
#include "reader_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  readerfuzz::ReadAll(OpenGifReader, data, size);
  return 0;
}
