// The one reading of a Windows or OS/2 bitmap's headers. Whoever takes a
// bitmap (the wallpaper store, the probe, the root window's picture) asks
// this verdict, so a file one of them accepts none of the others refuses.
#pragma once

#include <cstddef>
#include <cstdint>

enum class BitmapCoding { kRows, kMaskedRows, kRunLength8, kRunLength4 };

// Where a sound bitmap's parts lie in its file, and how to read them.
struct BitmapLayout {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  bool top_down = false;  // rows stored top first (never for run-length data)
  std::uint32_t bits = 0;
  BitmapCoding coding = BitmapCoding::kRows;
  std::uint32_t masks[3] = {};  // red, green, blue, for 16 and 32 bits
  std::uint64_t palette_offset = 0;
  std::uint32_t palette_count = 0;  // entries the header claims, all within the file
  std::uint32_t palette_entry = 4;  // bytes: 3 in the core header's palette
  std::uint64_t pixel_offset = 0;
  std::uint64_t row_bytes = 0;    // uncoded rows, padded to four bytes
  std::uint64_t pixel_bytes = 0;  // from pixel_offset; all within the file
  std::uint64_t file_bytes = 0;   // from the file's start: all a reader needs, whatever follows
};

enum class BitmapVerdict { kDrawable, kNotABitmap, kUnsupported, kCutShort, kTooLarge };

// The leading bytes that decide the verdict: the file header, the info
// header as far as its fields go, and the colour masks after it.
inline constexpr std::size_t kBitmapHeadBytes = 14 + 40 + 12;

// `head` holds the file's first `got` bytes: kBitmapHeadBytes, or the whole
// file when shorter. The layout is filled for kDrawable; for kTooLarge only
// its width and height, as the header states them.
BitmapVerdict ReadBitmapHeader(const unsigned char* head, std::size_t got, std::uint64_t file_size,
                               BitmapLayout* layout);

// Why a bitmap with that verdict is refused, for a message.
const char* BitmapRefusal(BitmapVerdict verdict);
