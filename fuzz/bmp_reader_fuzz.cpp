// Arbitrary bytes as a bitmap file through the BMP reader.
#include "reader_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  readerfuzz::ReadAll(OpenBmpReader, data, size);
  return 0;
}
