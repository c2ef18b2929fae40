// Reads uncompressed 8- and 24-bit Windows and OS/2 bitmaps. Bitmaps are
// normally stored bottom row first, so such a raster is held whole in a
// library whole-image array and handed out in reverse; a top-down bitmap
// (negative height) streams straight from the file.
#include <cstdint>
#include <cstring>

#include "converter_support.h"
#include "pixel_source.h"

namespace {

constexpr int kFileHeaderSize = 14;
constexpr int kLargestInfoHeader = 64;
constexpr int kMapEntries = 256;  // every 8-bit index has an entry

struct BmpReader {
  PixelSource pub;  // must be first

  j_compress_ptr compressor;
  JSAMPARRAY colour_map;         // red, green, blue rows of kMapEntries
  jvirt_sarray_ptr whole_image;  // bottom-up files: the raster as stored
  JSAMPARRAY stored_row;         // top-down files: one row as stored
  JDIMENSION delivered_rows;     // rows handed out so far
  JDIMENSION row_width;          // bytes per stored row, padding included
  int bits_per_pixel;            // 8 or 24
  bool top_down;
};

int ReadByte(BmpReader* reader) {
  int c = std::getc(reader->pub.InputFile);
  if (c == EOF) ERREXIT(reader->compressor, JERR_INPUT_EOF);
  return c;
}

void ReadExactly(BmpReader* reader, void* buffer, std::size_t length) {
  if (std::fread(buffer, 1, length, reader->pub.InputFile) != length)
    ERREXIT(reader->compressor, JERR_INPUT_EOF);
}

std::uint32_t Little16(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8;
}

std::uint32_t Little32(const unsigned char* p) {
  return Little16(p) | Little16(p + 2) << 16;
}

std::int32_t SignedLittle32(const unsigned char* p) {
  return static_cast<std::int32_t>(Little32(p));
}

// The stored row that holds the next picture row, top row first.
JSAMPROW NextStoredRow(BmpReader* reader) {
  j_compress_ptr compressor = reader->compressor;
  JSAMPROW row;
  if (reader->top_down) {
    row = reader->stored_row[0];
    ReadExactly(reader, row, reader->row_width);
  } else {
    JDIMENSION stored = compressor->image_height - 1 - reader->delivered_rows;
    row = (*compressor->mem->access_virt_sarray)(reinterpret_cast<j_common_ptr>(compressor),
                                                 reader->whole_image, stored, 1, FALSE)[0];
  }
  ++reader->delivered_rows;
  return row;
}

JDIMENSION ReadMappedRow(j_compress_ptr compressor, PixelSource* source) {
  auto* reader = reinterpret_cast<BmpReader*>(source);
  JSAMPROW in = NextStoredRow(reader);
  JSAMPROW out = source->RowBuffer[0];
  const JSAMPROW red = reader->colour_map[0];
  const JSAMPROW green = reader->colour_map[1];
  const JSAMPROW blue = reader->colour_map[2];
  for (JDIMENSION x = 0; x < compressor->image_width; ++x) {
    unsigned t = in[x];  // below kMapEntries by its width
    *out++ = red[t];
    *out++ = green[t];
    *out++ = blue[t];
  }
  return 1;
}

JDIMENSION ReadTrueColourRow(j_compress_ptr compressor, PixelSource* source) {
  auto* reader = reinterpret_cast<BmpReader*>(source);
  JSAMPROW in = NextStoredRow(reader);
  JSAMPROW out = source->RowBuffer[0];
  for (JDIMENSION x = 0; x < compressor->image_width; ++x, in += 3) {
    *out++ = in[2];
    *out++ = in[1];
    *out++ = in[0];
  }
  return 1;
}

// First call on a bottom-up file: the top row is the last one stored, so the
// whole raster has to be in before anything can be delivered.
JDIMENSION LoadWholeImage(j_compress_ptr compressor, PixelSource* source) {
  auto* reader = reinterpret_cast<BmpReader*>(source);
  for (JDIMENSION row = 0; row < compressor->image_height; ++row) {
    EndRunIfSignalled(reinterpret_cast<j_common_ptr>(compressor));
    JSAMPARRAY image_row = (*compressor->mem->access_virt_sarray)(
        reinterpret_cast<j_common_ptr>(compressor), reader->whole_image, row, 1, TRUE);
    ReadExactly(reader, image_row[0], reader->row_width);
  }
  source->ReadRows = reader->bits_per_pixel == 8 ? ReadMappedRow : ReadTrueColourRow;
  return (*source->ReadRows)(compressor, source);
}

// Announces the picture, or refuses a depth other than 8 and 24 bits.
void TraceDepth(j_compress_ptr compressor, int bits, std::int64_t width, std::int64_t height,
                int mapped_code, int true_colour_code) {
  if (bits != 8 && bits != 24) ERREXIT(compressor, MSG_BMP_DEPTH);
  TRACEMS2(compressor, 1, bits == 8 ? mapped_code : true_colour_code,
           static_cast<int>(width), static_cast<int>(height));
}

void ReadBmpHeader(j_compress_ptr compressor, PixelSource* source) {
  auto* reader = reinterpret_cast<BmpReader*>(source);

  unsigned char file_header[kFileHeaderSize];
  ReadExactly(reader, file_header, sizeof file_header);
  if (file_header[0] != 'B' || file_header[1] != 'M') ERREXIT(compressor, MSG_BMP_NOT);
  const std::int64_t data_offset = SignedLittle32(file_header + 10);

  unsigned char info[kLargestInfoHeader];
  ReadExactly(reader, info, 4);
  const std::uint32_t header_size = Little32(info);
  if (header_size < 12 || header_size > kLargestInfoHeader)
    ERREXIT(compressor, MSG_BMP_HEADER_LENGTH);
  ReadExactly(reader, info + 4, header_size - 4);

  std::int64_t width = 0, height = 0;
  std::uint32_t planes = 0, map_entry_size = 0;
  std::int64_t colours_used = 0;
  int bits = 0;
  bool top_down = false;
  if (header_size == 12) {
    width = Little16(info + 4);
    height = Little16(info + 6);
    planes = Little16(info + 8);
    bits = static_cast<int>(Little16(info + 10));
    map_entry_size = 3;
    TraceDepth(compressor, bits, width, height, MSG_BMP_TRACE_OS2_8, MSG_BMP_TRACE_OS2_24);
    if (planes != 1) ERREXIT(compressor, MSG_BMP_PLANES);
  } else if (header_size == 40 || header_size == 64) {
    width = SignedLittle32(info + 4);
    height = SignedLittle32(info + 8);
    planes = Little16(info + 12);
    bits = static_cast<int>(Little16(info + 14));
    map_entry_size = 4;
    // A negative height marks a raster stored top row first.
    top_down = height < 0;
    if (top_down) height = -height;
    TraceDepth(compressor, bits, width, height, MSG_BMP_TRACE_8, MSG_BMP_TRACE_24);
    if (planes != 1) ERREXIT(compressor, MSG_BMP_PLANES);
    if (Little32(info + 16) != 0) ERREXIT(compressor, MSG_BMP_COMPRESSED);
    const std::int32_t x_per_metre = SignedLittle32(info + 24);
    const std::int32_t y_per_metre = SignedLittle32(info + 28);
    colours_used = SignedLittle32(info + 32);
    if (x_per_metre > 0 && y_per_metre > 0) {
      // The JFIF fields hold 1..65535; a resolution that does not fit them
      // would be recorded as a wrong one, so it is left out instead.
      const std::int32_t x_per_cm = x_per_metre / 100, y_per_cm = y_per_metre / 100;
      if (x_per_cm >= 1 && y_per_cm >= 1 && x_per_cm <= 65535 && y_per_cm <= 65535) {
        compressor->X_density = static_cast<UINT16>(x_per_cm);
        compressor->Y_density = static_cast<UINT16>(y_per_cm);
        compressor->density_unit = 2;  // dots per centimetre
      }
    }
  } else {
    ERREXIT(compressor, MSG_BMP_HEADER_LENGTH);
  }

  reader->top_down = top_down;
  if (width == 0 || height == 0) ERREXIT(compressor, JERR_EMPTY_IMAGE);
  // A negative width is read as the huge unsigned value it stands for.
  if (width < 0 || width > JPEG_MAX_DIMENSION || height > JPEG_MAX_DIMENSION)
    ERREXIT1(compressor, JERR_IMAGE_TOO_BIG, (unsigned int)JPEG_MAX_DIMENSION);

  std::int64_t gap = data_offset - (header_size + kFileHeaderSize);

  if (bits == 8) {
    if (colours_used <= 0) colours_used = kMapEntries;
    if (colours_used > kMapEntries) ERREXIT(compressor, MSG_BMP_COLORMAP);
    // Entries the file leaves out stay black, so every byte value has one.
    reader->colour_map = (*compressor->mem->alloc_sarray)(
        reinterpret_cast<j_common_ptr>(compressor), JPOOL_IMAGE, kMapEntries, 3);
    for (int c = 0; c < 3; ++c) std::memset(reader->colour_map[c], 0, kMapEntries);
    unsigned char entry[4];
    for (int i = 0; i < colours_used; ++i) {
      ReadExactly(reader, entry, map_entry_size);
      reader->colour_map[2][i] = entry[0];
      reader->colour_map[1][i] = entry[1];
      reader->colour_map[0][i] = entry[2];
    }
    gap -= colours_used * map_entry_size;
  }

  if (gap < 0) ERREXIT(compressor, MSG_BMP_HEADER_LENGTH);
  for (; gap > 0; --gap) ReadByte(reader);

  reader->bits_per_pixel = bits;
  const JDIMENSION pixel_bytes = static_cast<JDIMENSION>(width) * (bits / 8);
  reader->row_width = (pixel_bytes + 3) & ~static_cast<JDIMENSION>(3);
  compressor->image_width = static_cast<JDIMENSION>(width);
  compressor->image_height = static_cast<JDIMENSION>(height);

  auto common = reinterpret_cast<j_common_ptr>(compressor);
  reader->delivered_rows = 0;
  if (reader->top_down) {
    reader->stored_row = (*compressor->mem->alloc_sarray)(common, JPOOL_IMAGE, reader->row_width, 1);
    source->ReadRows = bits == 8 ? ReadMappedRow : ReadTrueColourRow;
  } else {
    reader->whole_image = (*compressor->mem->request_virt_sarray)(
        common, JPOOL_IMAGE, FALSE, reader->row_width, compressor->image_height, 1);
    source->ReadRows = LoadWholeImage;
  }
  source->RowBuffer = (*compressor->mem->alloc_sarray)(common, JPOOL_IMAGE,
                                                       compressor->image_width * 3, 1);
  source->RowBufferHeight = 1;

  compressor->in_color_space = JCS_RGB;
  compressor->input_components = 3;
  compressor->data_precision = 8;
}

void FinishBmp(j_compress_ptr, PixelSource*) {}

}  // namespace

PixelSource* OpenBmpReader(j_compress_ptr compressor) {
  auto* reader = static_cast<BmpReader*>((*compressor->mem->alloc_small)(
      reinterpret_cast<j_common_ptr>(compressor), JPOOL_IMAGE, sizeof(BmpReader)));
  std::memset(reader, 0, sizeof *reader);
  reader->compressor = compressor;
  reader->pub.ReadHeader = ReadBmpHeader;
  reader->pub.FinishReading = FinishBmp;
  return &reader->pub;
}
