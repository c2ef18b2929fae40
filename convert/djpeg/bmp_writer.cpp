// BMP output, with the Windows 40-byte information header or the OS/2
// 12-byte core header. BMP rows run bottom-up while the decoder delivers
// them top-down, so the whole picture waits in a library image array and
// the file is written in one go when the last row has arrived.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "converter_support.h"
#include "image_writer.h"
#include "little_endian.h"

namespace {

constexpr unsigned kFileHeaderBytes = 14;
constexpr unsigned kWindowsHeaderBytes = 40;
constexpr unsigned kOs2HeaderBytes = 12;
constexpr int kTableEntries = 256;          // an 8-bit file always carries a full table
constexpr std::uint32_t kOs2Largest = 0xFFFF;  // the core header's 16-bit size fields

struct BmpWriter {
  ImageWriter pub;           // must be first: the command sees only this
  boolean Os2Header;         // core header and 3-byte table entries
  jvirt_sarray_ptr RowStore; // the whole picture, rows top first, padded as in the file
  JDIMENSION RowSamples;     // samples of one row before padding
  JDIMENSION FileRowBytes;   // RowSamples rounded up to a multiple of 4
  int RowPadding;            // FileRowBytes - RowSamples, 0 to 3
  JDIMENSION NextRow;        // the RowStore row the next WriteRows fills
};

// Rows go to the file gathered into writes of about this size: one write
// per row costs far more, and the store's rows are neither in file order
// nor back to back (the library aligns each one).
constexpr std::size_t kWriteChunkBytes = std::size_t{1} << 20;

BmpWriter* Private(ImageWriter* writer) { return reinterpret_cast<BmpWriter*>(writer); }

j_common_ptr Common(j_decompress_ptr decompressor) { return reinterpret_cast<j_common_ptr>(decompressor); }

JSAMPROW StoreRow(j_decompress_ptr decompressor, BmpWriter* self, JDIMENSION row, boolean writable) {
  return (*decompressor->mem->access_virt_sarray)(Common(decompressor), self->RowStore, row, 1, writable)[0];
}

// The decoder writes each row straight into the store row it belongs in;
// WriteRows finishes that row there and points the decoder at the next.
void AimAtNextRow(j_decompress_ptr decompressor, BmpWriter* self) {
  if (self->NextRow < decompressor->output_height)
    self->pub.RowBuffer[0] = StoreRow(decompressor, self, self->NextRow, TRUE);
}

// Padding is written explicitly because the image array is not pre-zeroed.
void ZeroPadding(JSAMPROW out, int padding) {
  for (int i = 0; i < padding; ++i) *out++ = 0;
}

// The decoder gives red, green, blue; the file wants blue, green, red.
void StoreRgbRow(j_decompress_ptr decompressor, ImageWriter* writer, JDIMENSION) {
  BmpWriter* self = Private(writer);
  JSAMPROW pixel = writer->RowBuffer[0];
  for (JDIMENSION column = decompressor->output_width; column > 0; --column, pixel += 3) {
    const JSAMPLE red = pixel[0];
    pixel[0] = pixel[2];
    pixel[2] = red;
  }
  ZeroPadding(pixel, self->RowPadding);
  self->NextRow++;
  AimAtNextRow(decompressor, self);
}

// Gray samples and colour-map indexes go to the file as they are.
void StoreByteRow(j_decompress_ptr decompressor, ImageWriter* writer, JDIMENSION) {
  BmpWriter* self = Private(writer);
  ZeroPadding(writer->RowBuffer[0] + self->RowSamples, self->RowPadding);
  self->NextRow++;
  AimAtNextRow(decompressor, self);
}

// The store exists only once decompression has started. Its rows are about
// to be filled top to bottom, and the library lays them out in one piece at
// a fixed stride, so the memory behind them is hinted as one block (rows
// further down cannot be looked at before they are written).
void BeginBmp(j_decompress_ptr decompressor, ImageWriter* writer) {
  BmpWriter* self = Private(writer);
  const JDIMENSION height = decompressor->output_height;
  if (height > 1) {
    JSAMPROW first = StoreRow(decompressor, self, 0, TRUE);
    JSAMPROW second = StoreRow(decompressor, self, 1, TRUE);
    const std::ptrdiff_t stride = second - first;
    if (stride >= static_cast<std::ptrdiff_t>(self->FileRowBytes))
      HintLargeFill(first, static_cast<std::size_t>(stride) * height);
  }
  AimAtNextRow(decompressor, self);
}

// Writes the rows bottom first, a chunk of whole rows per write. The chunk
// is drawn here rather than with the writer, so that it never counts
// against the memory the store was given.
void WriteStoredRows(j_decompress_ptr decompressor, BmpWriter* self, std::FILE* file) {
  const std::size_t row_bytes = self->FileRowBytes;
  JDIMENSION rows_per_chunk = static_cast<JDIMENSION>(kWriteChunkBytes / row_bytes);
  if (rows_per_chunk < 1) rows_per_chunk = 1;
  if (rows_per_chunk > decompressor->output_height) rows_per_chunk = decompressor->output_height;
  auto* chunk = static_cast<JSAMPLE*>(
      (*decompressor->mem->alloc_large)(Common(decompressor), JPOOL_IMAGE, row_bytes * rows_per_chunk));
  JSAMPLE* at = chunk;
  for (JDIMENSION row = decompressor->output_height; row > 0; --row) {
    EndRunIfSignalled(Common(decompressor));
    std::memcpy(at, StoreRow(decompressor, self, row - 1, FALSE), row_bytes);
    at += row_bytes;
    if (at == chunk + row_bytes * rows_per_chunk || row == 1) {
      std::fwrite(chunk, 1, static_cast<std::size_t>(at - chunk), file);
      at = chunk;
    }
  }
}

// Gray and quantized output carry one byte per pixel and a colour table.
bool EightBitOutput(j_decompress_ptr decompressor) {
  return decompressor->out_color_space != JCS_RGB || decompressor->quantize_colors;
}

// Bytes before the first pixel row: file header, second header and table.
std::uint32_t HeaderSize(j_decompress_ptr decompressor, boolean os2) {
  const std::uint32_t entries = EightBitOutput(decompressor) ? kTableEntries : 0;
  return os2 ? kFileHeaderBytes + kOs2HeaderBytes + 3 * entries
             : kFileHeaderBytes + kWindowsHeaderBytes + 4 * entries;
}

void WriteHeaderBytes(j_decompress_ptr decompressor, std::FILE* file, const unsigned char* bytes, size_t size) {
  if (std::fwrite(bytes, 1, size, file) != size) ERREXIT(decompressor, JERR_FILE_WRITE);
}

// The table always has 256 entries: the real ones, then all-zero ones.
// Single bytes are not checked here; the final flush catches their failure.
void WriteColourTable(j_decompress_ptr decompressor, std::FILE* file, int entry_size) {
  JSAMPARRAY map = decompressor->colormap;
  int entries = 0;
  if (map != nullptr) {
    entries = decompressor->actual_number_of_colors;
    if (entries > kTableEntries) ERREXIT1(decompressor, MSG_TOO_MANY_COLORS, entries);
    const bool colour = decompressor->out_color_components == 3;
    for (int i = 0; i < entries; ++i) {
      std::putc(GETJSAMPLE(map[colour ? 2 : 0][i]), file);
      std::putc(GETJSAMPLE(map[colour ? 1 : 0][i]), file);
      std::putc(GETJSAMPLE(map[0][i]), file);
      if (entry_size == 4) std::putc(0, file);
    }
  } else {
    for (; entries < kTableEntries; ++entries) {
      std::putc(entries, file);
      std::putc(entries, file);
      std::putc(entries, file);
      if (entry_size == 4) std::putc(0, file);
    }
  }
  for (; entries < kTableEntries; ++entries)
    for (int i = 0; i < entry_size; ++i) std::putc(0, file);
}

void EndBmp(j_decompress_ptr decompressor, ImageWriter* writer) {
  BmpWriter* self = Private(writer);
  std::FILE* file = writer->OutputFile;
  const bool table = EightBitOutput(decompressor);
  const std::uint32_t bits_per_pixel = table ? 8 : 24;
  const std::uint32_t header_size = HeaderSize(decompressor, self->Os2Header);
  const std::uint32_t file_size = header_size + self->FileRowBytes * decompressor->output_height;

  unsigned char file_header[kFileHeaderBytes] = {};
  file_header[0] = 'B';
  file_header[1] = 'M';
  Put32(file_header + 2, file_size);
  Put32(file_header + 10, header_size);

  if (self->Os2Header) {
    unsigned char core_header[kOs2HeaderBytes] = {};
    Put32(core_header + 0, kOs2HeaderBytes);
    Put16(core_header + 4, decompressor->output_width);
    Put16(core_header + 6, decompressor->output_height);
    Put16(core_header + 8, 1);  // planes
    Put16(core_header + 10, bits_per_pixel);
    WriteHeaderBytes(decompressor, file, file_header, sizeof file_header);
    WriteHeaderBytes(decompressor, file, core_header, sizeof core_header);
  } else {
    unsigned char info_header[kWindowsHeaderBytes] = {};
    Put32(info_header + 0, kWindowsHeaderBytes);
    Put32(info_header + 4, decompressor->output_width);
    Put32(info_header + 8, decompressor->output_height);  // positive: rows bottom-up
    Put16(info_header + 12, 1);                            // planes
    Put16(info_header + 14, bits_per_pixel);
    if (decompressor->density_unit == 2) {  // dots per centimetre
      Put32(info_header + 24, decompressor->X_density * 100u);
      Put32(info_header + 28, decompressor->Y_density * 100u);
    }
    if (table) Put32(info_header + 32, kTableEntries);
    WriteHeaderBytes(decompressor, file, file_header, sizeof file_header);
    WriteHeaderBytes(decompressor, file, info_header, sizeof info_header);
  }
  if (table) WriteColourTable(decompressor, file, self->Os2Header ? 3 : 4);

  WriteStoredRows(decompressor, self, file);

  std::fflush(file);
  if (std::ferror(file)) ERREXIT(decompressor, JERR_FILE_WRITE);
}

}  // namespace

ImageWriter* CreateBmpWriter(j_decompress_ptr decompressor, boolean is_os2) {
  auto* self = static_cast<BmpWriter*>(
      (*decompressor->mem->alloc_small)(Common(decompressor), JPOOL_IMAGE, sizeof(BmpWriter)));
  self->pub.BeginImage = BeginBmp;
  self->pub.EndImage = EndBmp;
  self->pub.OutputFile = nullptr;
  self->Os2Header = is_os2;

  if (decompressor->out_color_space == JCS_GRAYSCALE)
    self->pub.WriteRows = StoreByteRow;
  else if (decompressor->out_color_space == JCS_RGB)
    self->pub.WriteRows = decompressor->quantize_colors ? StoreByteRow : StoreRgbRow;
  else
    ERREXIT(decompressor, MSG_BMP_COLORSPACE);

  jpeg_calc_output_dimensions(decompressor);

  // Sizes the headers cannot state are refused rather than written wrapped.
  const std::uint64_t width = decompressor->output_width;
  const std::uint64_t height = decompressor->output_height;
  if (is_os2 && (width > kOs2Largest || height > kOs2Largest))
    ERREXIT1(decompressor, JERR_IMAGE_TOO_BIG, kOs2Largest);

  self->RowSamples = decompressor->output_width * static_cast<JDIMENSION>(decompressor->output_components);
  self->FileRowBytes = self->RowSamples;
  while ((self->FileRowBytes & 3) != 0) self->FileRowBytes++;
  self->RowPadding = static_cast<int>(self->FileRowBytes - self->RowSamples);

  const std::uint64_t room = UINT32_MAX - HeaderSize(decompressor, is_os2);
  if (static_cast<std::uint64_t>(self->FileRowBytes) * height > room)
    ERREXIT1(decompressor, JERR_IMAGE_TOO_BIG, static_cast<unsigned>(room / self->FileRowBytes));

  self->RowStore = (*decompressor->mem->request_virt_sarray)(Common(decompressor), JPOOL_IMAGE, FALSE,
                                                             self->FileRowBytes, decompressor->output_height, 1);
  self->NextRow = 0;

  // Only a row pointer: it is aimed at the store row being decoded.
  self->pub.RowBuffer = static_cast<JSAMPARRAY>(
      (*decompressor->mem->alloc_small)(Common(decompressor), JPOOL_IMAGE, sizeof(JSAMPROW)));
  self->pub.RowBuffer[0] = nullptr;
  self->pub.RowBufferHeight = 1;
  return &self->pub;
}
