// Arbitrary bytes as a WebP file through the chain's WebP stage: the size
// test from the first bytes, stills whole or in bands of rows, and an
// animation's first frame taken out and placed on its canvas. The first byte
// picks the band size (the stage's own, or a quarter to a sixteenth of the
// canvas, or two rows), the rest is the file. A picture the stage calls
// done must have left a whole bitmap the size of its canvas.
#include <cstddef>
#include <cstdint>

#include <webp/decode.h>

#include "picture_stage_fuzz.h"
#include "webp_decoder.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const unsigned choice = data[0];
  data += 1;
  size -= 1;
  WebPBitstreamFeatures features;
  const bool known = WebPGetFeatures(data, size, &features) == VP8_STATUS_OK;
  const std::uint64_t width = known ? static_cast<std::uint64_t>(features.width) : 0;
  const std::uint64_t height = known ? static_cast<std::uint64_t>(features.height) : 0;
  if (!stagefuzz::WorthDecoding(width, height)) return 0;

  // Two-row bands re-decode the rows above each band, so only small
  // pictures get them.
  const std::size_t canvas_bytes = 4 * width * height;
  std::size_t band_bytes = kWebpBandBytes;
  if (choice % 4 == 1) band_bytes = canvas_bytes / 4;
  if (choice % 4 == 2) band_bytes = canvas_bytes / 16;
  if (choice % 4 == 3) band_bytes = width * height <= 64 * 64 ? 1 : canvas_bytes / 8;

  static stagefuzz::MemoryFile input("webp-fuzz-input");
  static stagefuzz::MemoryFile output("webp-fuzz-output");
  input.Hold(data, size);
  if (DecodeWebpToBitmapInBands(input.path.c_str(), output.path.c_str(), band_bytes) == 0) {
    if (!known) std::abort();
    stagefuzz::CheckBitmap(output, static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height));
  }
  return 0;
}
