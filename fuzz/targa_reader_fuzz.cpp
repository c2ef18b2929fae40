// Arbitrary bytes as a Targa file through the Targa reader (as with -targa,
// whatever the first byte).
#include "reader_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  readerfuzz::ReadAll(OpenTargaReader, data, size);
  return 0;
}
