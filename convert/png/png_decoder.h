// The PNG stage of the wallpaper chain: any PNG to the chain's 24-bit bitmap.
#pragma once

// Decodes `input_path` into a new bitmap at `output_path`: every colour type
// and depth, interlaced or not, transparency composited over black. Returns
// 0 done, 2 done with warnings, 1 failed (the reason on the standard error
// stream; what was written of the output is the caller's to remove).
int DecodePngToBitmap(const char* input_path, const char* output_path);
