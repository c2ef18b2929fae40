// The WebP stage of the wallpaper chain: a WebP picture to the chain's
// 24-bit bitmap.
#pragma once

// Decodes `input_path` into a new bitmap at `output_path`: lossy or
// lossless, alpha composited over black, an animation's first frame.
// Returns 0 done or 1 failed (the reason on the standard error stream; what
// was written of the output is the caller's to remove).
int DecodeWebpToBitmap(const char* input_path, const char* output_path);
