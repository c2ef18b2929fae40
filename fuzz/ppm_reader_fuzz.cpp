// Arbitrary bytes as a PPM/PGM file through the PPM reader, header to last row.
#include "reader_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  readerfuzz::ReadAll(OpenPpmReader, data, size);
  return 0;
}
