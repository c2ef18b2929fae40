// The WebP stage of the wallpaper chain: a WebP picture to the chain's
// 24-bit bitmap.
#pragma once

#include <cstddef>

// Decoded samples of a picture with alpha held at once at the most; a larger
// one is decoded in bands of rows, so that the largest picture allowed stays
// well within the chain's memory bound.
inline constexpr std::size_t kWebpBandBytes = std::size_t{96} << 20;

// Decodes `input_path` into a new bitmap at `output_path`: lossy or
// lossless, alpha composited over black, an animation's first frame.
// Returns 0 done or 1 failed (the reason on the standard error stream; what
// was written of the output is the caller's to remove).
int DecodeWebpToBitmap(const char* input_path, const char* output_path);
// The same, with pictures with alpha over `band_bytes` decoded in bands.
int DecodeWebpToBitmapInBands(const char* input_path, const char* output_path, std::size_t band_bytes);
