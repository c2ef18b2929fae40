// The 24-bit Windows bitmap the decoders that do not go through the JPEG
// library write: the layout of the decoding converter's BMP output (54-byte
// header, rows bottom-up, blue-green-red, padded to four bytes, no
// resolution), rows taken in whatever order the decoder delivers them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

struct RgbBitmap {
  std::FILE* file;          // open for writing, binary; not owned
  std::uint32_t width;
  std::uint32_t height;
  std::uint32_t row_bytes;  // 3 * width rounded up to a multiple of 4
  std::uint32_t next_row;   // picture row the file position is at, top row 0
  bool failed;              // a seek failed; writes report their own failures
};

// Bytes one bitmap row takes, padding included.
std::uint32_t BitmapRowBytes(std::uint32_t width);

// Writes the headers. False when the size cannot be stated in them or the
// write fails.
bool BeginRgbBitmap(RgbBitmap* bitmap, std::FILE* file, std::uint32_t width, std::uint32_t height);

// Turns one row of 8-bit red-green-blue (channels 3) or red-green-blue-alpha
// (channels 4) samples into a bitmap row: alpha is composited over black,
// rounded to nearest, and the padding is zeroed. `out` holds BitmapRowBytes.
void ToBitmapRow(const unsigned char* samples, int channels, std::uint32_t width, unsigned char* out);

// Puts a finished bitmap row at the place of picture row `row` (top 0).
void PutBitmapRow(RgbBitmap* bitmap, std::uint32_t row, const unsigned char* bitmap_row);

// Flushes; false when any write failed.
bool EndRgbBitmap(RgbBitmap* bitmap);
