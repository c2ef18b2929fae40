// The bitmaps the wallpaper call takes: the core and info headers and their
// later extensions, 1 to 32 bits, plain rows, rows under colour masks, and
// run-length coded 4 and 8-bit pictures, as Windows' own call takes them.
#include "bitmap_header.h"

#include <algorithm>

#include "little_endian.h"
#include "picture_limits.h"

namespace {

constexpr std::uint32_t kFileHeaderBytes = 14;
constexpr std::uint32_t kCoreHeaderBytes = 12;
constexpr std::uint32_t kInfoHeaderBytes = 40;
// The second OS/2 header reuses compression codes for other codings.
constexpr std::uint32_t kOs2HeaderBytes = 64;

// The compression field's codes.
constexpr std::uint32_t kPlain = 0, kRle8 = 1, kRle4 = 2, kBitFields = 3;

bool KnownHeaderSize(std::uint32_t size) {
  return size == kCoreHeaderBytes || size == kInfoHeaderBytes || size == 52 || size == 56 || size == kOs2HeaderBytes ||
         size == 108 || size == 124;
}

bool KnownDepth(std::uint32_t bits) {
  return bits == 1 || bits == 4 || bits == 8 || bits == 16 || bits == 24 || bits == 32;
}

// The coding the compression field names, if this system draws it.
bool Coding(std::uint32_t compression, std::uint32_t bits, std::uint32_t info_size, BitmapCoding* coding) {
  switch (compression) {
    case kPlain: *coding = BitmapCoding::kRows; return true;
    case kRle8: *coding = BitmapCoding::kRunLength8; return bits == 8;
    case kRle4: *coding = BitmapCoding::kRunLength4; return bits == 4;
    case kBitFields:
      *coding = BitmapCoding::kMaskedRows;
      return (bits == 16 || bits == 32) && info_size != kOs2HeaderBytes;
    default: return false;
  }
}

}  // namespace

BitmapVerdict ReadBitmapHeader(const unsigned char* head, std::size_t got, std::uint64_t file_size,
                               BitmapLayout* layout) {
  if (got < kFileHeaderBytes + kCoreHeaderBytes || head[0] != 'B' || head[1] != 'M') return BitmapVerdict::kNotABitmap;
  const std::uint32_t info_size = Get32(head + 14);
  if (!KnownHeaderSize(info_size)) return BitmapVerdict::kUnsupported;
  const bool core = info_size == kCoreHeaderBytes;
  if (!core && got < kFileHeaderBytes + kInfoHeaderBytes) return BitmapVerdict::kCutShort;

  BitmapLayout out;
  std::int64_t width, height;
  std::uint32_t planes, compression = kPlain, colours_used = 0, image_size = 0;
  if (core) {
    width = Get16(head + 18);
    height = Get16(head + 20);
    planes = Get16(head + 22);
    out.bits = Get16(head + 24);
    out.palette_entry = 3;
  } else {
    width = static_cast<std::int32_t>(Get32(head + 18));
    height = static_cast<std::int32_t>(Get32(head + 22));
    planes = Get16(head + 26);
    out.bits = Get16(head + 28);
    compression = Get32(head + 30);
    image_size = Get32(head + 34);
    colours_used = Get32(head + 46);
  }
  out.top_down = height < 0;
  if (out.top_down) height = -height;
  if (width <= 0 || height <= 0 || planes != 1 || !KnownDepth(out.bits)) return BitmapVerdict::kUnsupported;
  out.width = static_cast<std::uint32_t>(width);
  out.height = static_cast<std::uint32_t>(height);
  if (!PictureSizeAllowed(out.width, out.height)) {
    layout->width = out.width;
    layout->height = out.height;
    return BitmapVerdict::kTooLarge;
  }
  if (!Coding(compression, out.bits, info_size, &out.coding)) return BitmapVerdict::kUnsupported;
  // Run-length data has no way to say its rows go top first.
  const bool run_length = out.coding == BitmapCoding::kRunLength8 || out.coding == BitmapCoding::kRunLength4;
  if (run_length && out.top_down) return BitmapVerdict::kUnsupported;

  // Masks follow a 40-byte header; a longer one holds them in place.
  std::uint64_t header_end = kFileHeaderBytes + static_cast<std::uint64_t>(info_size);
  if (out.coding == BitmapCoding::kMaskedRows) {
    if (got < kBitmapHeadBytes) return BitmapVerdict::kCutShort;
    for (int i = 0; i < 3; ++i) out.masks[i] = Get32(head + kFileHeaderBytes + kInfoHeaderBytes + 4 * i);
    if (info_size == kInfoHeaderBytes) header_end += 12;
  } else if (out.bits == 16) {
    out.masks[0] = 0x7c00, out.masks[1] = 0x03e0, out.masks[2] = 0x001f;
  } else {
    out.masks[0] = 0xff0000, out.masks[1] = 0x00ff00, out.masks[2] = 0x0000ff;
  }
  if (header_end > file_size) return BitmapVerdict::kCutShort;

  out.palette_offset = header_end;
  if (out.bits <= 8) {
    const std::uint32_t full = 1u << out.bits;
    out.palette_count = colours_used != 0 && colours_used < full ? colours_used : full;
    if (out.palette_offset + std::uint64_t{out.palette_count} * out.palette_entry > file_size)
      return BitmapVerdict::kCutShort;
  }

  out.pixel_offset = Get32(head + 10);
  if (out.pixel_offset < header_end) return BitmapVerdict::kUnsupported;
  if (out.pixel_offset >= file_size) return BitmapVerdict::kCutShort;
  const std::uint64_t available = file_size - out.pixel_offset;
  out.row_bytes = (std::uint64_t{out.width} * out.bits + 31) / 32 * 4;
  if (run_length) {
    // The stream may stop early (the rest is black), but not past the file.
    // Nor past what any writer needs: a run or a move for every pixel of
    // the padded rows (the costliest codes there are) and an end to each
    // row, so that a small picture in a huge file costs a small read.
    const std::uint64_t longest = out.height * (4 * (out.row_bytes * 8 / out.bits) + 2) + 2;
    const std::uint64_t wanted = image_size != 0 ? std::min<std::uint64_t>(image_size, longest) : longest;
    if (image_size != 0 && wanted > available) return BitmapVerdict::kCutShort;
    out.pixel_bytes = std::min(wanted, available);
  } else {
    out.pixel_bytes = out.row_bytes * out.height;  // both within the limits: no overflow
    if (out.pixel_bytes > available) return BitmapVerdict::kCutShort;
  }
  out.file_bytes = std::max(out.pixel_offset + out.pixel_bytes,
                            out.palette_offset + std::uint64_t{out.palette_count} * out.palette_entry);
  *layout = out;
  return BitmapVerdict::kDrawable;
}

const char* BitmapRefusal(BitmapVerdict verdict) {
  switch (verdict) {
    case BitmapVerdict::kDrawable: break;
    case BitmapVerdict::kNotABitmap: return "the picture is no bitmap";
    case BitmapVerdict::kUnsupported: return "the bitmap's headers describe no picture that can be drawn";
    case BitmapVerdict::kCutShort: return "the bitmap is cut short";
    case BitmapVerdict::kTooLarge: return "the bitmap is too large for a wallpaper";
  }
  return "";
}
