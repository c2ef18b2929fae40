// Arbitrary bytes as a PNG file through the chain's PNG stage: the header
// probe and size limit, every colour type and depth through libpng's
// transformations, interlaced pictures held whole, rows composited over
// black into the bitmap. A picture the stage calls done must have left a
// whole bitmap of the size its header states.
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "picture_probe.h"
#include "picture_stage_fuzz.h"
#include "png_decoder.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static stagefuzz::MemoryFile input("png-fuzz-input");
  static stagefuzz::MemoryFile output("png-fuzz-output");
  std::FILE* in = fmemopen(const_cast<std::uint8_t*>(data), size, "rb");
  if (in == nullptr) return 0;
  const PictureHeader header = ProbePicture(in);
  std::fclose(in);
  if (header.size_known && !stagefuzz::WorthDecoding(header.width, header.height)) return 0;
  input.Hold(data, size);
  const int result = DecodePngToBitmap(input.path.c_str(), output.path.c_str());
  if (result != 1) {
    // Only a picture the probe read can be done.
    if (header.kind != PictureKind::kPng || !header.size_known) std::abort();
    stagefuzz::CheckBitmap(output, header.width, header.height);
  }
  return 0;
}
