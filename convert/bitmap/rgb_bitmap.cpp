// Rows land at their own offset, so a decoder that delivers them top first
// needs no copy of the whole picture for the bottom-up file order.
#include "rgb_bitmap.h"

#include "little_endian.h"

namespace {

constexpr std::uint32_t kFileHeaderBytes = 14;
constexpr std::uint32_t kInfoHeaderBytes = 40;
constexpr std::uint32_t kPixelOffset = kFileHeaderBytes + kInfoHeaderBytes;

}  // namespace

std::uint32_t BitmapRowBytes(std::uint32_t width) { return (width * 3 + 3) & ~std::uint32_t{3}; }

bool BeginRgbBitmap(RgbBitmap* bitmap, std::FILE* file, std::uint32_t width, std::uint32_t height) {
  bitmap->file = file;
  bitmap->width = width;
  bitmap->height = height;
  bitmap->next_row = height - 1;  // the bottom row comes first in the file
  bitmap->failed = false;
  const std::uint64_t row_bytes = (std::uint64_t{width} * 3 + 3) & ~std::uint64_t{3};
  if (width == 0 || height == 0 || row_bytes * height > UINT32_MAX - kPixelOffset) return false;
  bitmap->row_bytes = static_cast<std::uint32_t>(row_bytes);

  unsigned char header[kPixelOffset] = {};
  header[0] = 'B';
  header[1] = 'M';
  Put32(header + 2, kPixelOffset + bitmap->row_bytes * height);
  Put32(header + 10, kPixelOffset);
  unsigned char* info = header + kFileHeaderBytes;
  Put32(info + 0, kInfoHeaderBytes);
  Put32(info + 4, width);
  Put32(info + 8, height);  // positive: rows bottom-up
  Put16(info + 12, 1);      // planes
  Put16(info + 14, 24);
  return std::fwrite(header, 1, sizeof header, file) == sizeof header;
}

void ToBitmapRow(const unsigned char* samples, int channels, std::uint32_t width, unsigned char* out) {
  for (std::uint32_t x = 0; x < width; ++x, samples += channels, out += 3) {
    if (channels == 4) {
      const unsigned alpha = samples[3];
      out[0] = static_cast<unsigned char>((samples[2] * alpha + 127) / 255);
      out[1] = static_cast<unsigned char>((samples[1] * alpha + 127) / 255);
      out[2] = static_cast<unsigned char>((samples[0] * alpha + 127) / 255);
    } else {
      out[0] = samples[2];
      out[1] = samples[1];
      out[2] = samples[0];
    }
  }
  for (std::uint32_t pad = width * 3; pad < BitmapRowBytes(width); ++pad) *out++ = 0;
}

void PutBitmapRow(RgbBitmap* bitmap, std::uint32_t row, const unsigned char* bitmap_row) {
  if (row != bitmap->next_row) {
    const long offset = static_cast<long>(kPixelOffset + std::uint64_t{bitmap->row_bytes} * (bitmap->height - 1 - row));
    if (std::fseek(bitmap->file, offset, SEEK_SET) != 0) bitmap->failed = true;
  }
  if (!bitmap->failed) std::fwrite(bitmap_row, 1, bitmap->row_bytes, bitmap->file);
  bitmap->next_row = row - 1;
}

bool EndRgbBitmap(RgbBitmap* bitmap) {
  return !bitmap->failed && std::fflush(bitmap->file) == 0 && std::ferror(bitmap->file) == 0;
}
