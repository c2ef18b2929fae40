// Reads Targa files: 8-bit gray, colour-mapped, 16-, 24- and 32-bit, plain
// or run-length encoded. A file stored top row first streams row by row; one
// stored bottom row first is converted whole into a library whole-image
// array on the first request and then handed out in reverse.
#include <array>
#include <cstring>

#include "converter_support.h"
#include "pixel_source.h"

namespace {

constexpr int kHeaderSize = 18;
constexpr int kMapEntries = 256;  // every 8-bit index has an entry

// 5-bit channel to 8 bits, rounded: (i * 255 + 15) / 31.
constexpr std::array<JSAMPLE, 32> kFiveBitExpansion = [] {
  std::array<JSAMPLE, 32> table{};
  for (int i = 0; i < 32; ++i) table[i] = static_cast<JSAMPLE>((i * 255 + 15) / 31);
  return table;
}();

struct TargaReader {
  PixelSource pub;  // must be first

  j_compress_ptr compressor;
  JSAMPARRAY colour_map;         // red, green, blue rows of kMapEntries
  jvirt_sarray_ptr whole_image;  // bottom-up files: converted rows as stored
  JDIMENSION stored_rows;        // whole-image rows loaded; the rest are spent
  JDIMENSION delivered_rows;     // rows handed out from the whole image
  JDIMENSION row_samples;        // samples of one delivered row
  JSAMPARRAY spent_row;          // the row every pixel of which ran past the end

  void (*read_pixel)(TargaReader* reader);   // plain or run-length
  unsigned char pixel[4];                     // the last pixel, as stored
  int pixel_size;                             // bytes per pixel, 1 to 4
  int block_count;                            // literal pixels left in the packet
  int repeat_count;                           // repeats of `pixel` left
  bool data_ran_out;                          // warned about the end already
  JDIMENSION (*convert_row)(j_compress_ptr, PixelSource*);  // kept for the load
};

int ReadByte(TargaReader* reader) {
  int c = std::getc(reader->pub.InputFile);
  if (c == EOF) ERREXIT(reader->compressor, JERR_INPUT_EOF);
  return c;
}

// Pixel data that stop early still give a full-size picture: the missing
// bytes read as 0xFF. It is said once, so the run does not pass for clean.
void ReadPixelBytes(TargaReader* reader) {
  if (reader->data_ran_out) {
    std::memset(reader->pixel, 0xFF, sizeof reader->pixel);
    return;
  }
  std::FILE* file = reader->pub.InputFile;
  for (int i = 0; i < reader->pixel_size; ++i) {
    int c = std::getc(file);
    if (c == EOF && !reader->data_ran_out) {
      reader->data_ran_out = true;
      WARNMS(reader->compressor, JERR_INPUT_EOF);
    }
    reader->pixel[i] = static_cast<unsigned char>(c);
  }
}

void ReadPlainPixel(TargaReader* reader) { ReadPixelBytes(reader); }

// Packets run on across row ends; the counts live in the record for that.
void ReadRunLengthPixel(TargaReader* reader) {
  if (reader->repeat_count > 0) {
    --reader->repeat_count;
    return;
  }
  if (--reader->block_count < 0) {
    int packet = ReadByte(reader);
    if (packet & 0x80) {
      reader->repeat_count = packet & 0x7F;
      reader->block_count = 0;
    } else {
      reader->block_count = packet & 0x7F;
    }
  }
  ReadPixelBytes(reader);
}

JDIMENSION ConvertGrayRow(j_compress_ptr compressor, PixelSource* source) {
  auto* reader = reinterpret_cast<TargaReader*>(source);
  JSAMPROW out = source->RowBuffer[0];
  for (JDIMENSION x = 0; x < compressor->image_width; ++x) {
    (*reader->read_pixel)(reader);
    *out++ = reader->pixel[0];
  }
  return 1;
}

JDIMENSION ConvertMappedRow(j_compress_ptr compressor, PixelSource* source) {
  auto* reader = reinterpret_cast<TargaReader*>(source);
  JSAMPROW out = source->RowBuffer[0];
  for (JDIMENSION x = 0; x < compressor->image_width; ++x) {
    (*reader->read_pixel)(reader);
    unsigned t = reader->pixel[0];  // below kMapEntries by its width
    *out++ = reader->colour_map[0][t];
    *out++ = reader->colour_map[1][t];
    *out++ = reader->colour_map[2][t];
  }
  return 1;
}

JDIMENSION Convert16BitRow(j_compress_ptr compressor, PixelSource* source) {
  auto* reader = reinterpret_cast<TargaReader*>(source);
  JSAMPROW out = source->RowBuffer[0];
  for (JDIMENSION x = 0; x < compressor->image_width; ++x) {
    (*reader->read_pixel)(reader);
    unsigned v = reader->pixel[0] | reader->pixel[1] << 8;  // x RRRRR GGGGG BBBBB
    *out++ = kFiveBitExpansion[(v >> 10) & 31];
    *out++ = kFiveBitExpansion[(v >> 5) & 31];
    *out++ = kFiveBitExpansion[v & 31];
  }
  return 1;
}

// 24- and 32-bit pixels alike: blue, green, red, then an ignored attribute.
JDIMENSION ConvertTrueColourRow(j_compress_ptr compressor, PixelSource* source) {
  auto* reader = reinterpret_cast<TargaReader*>(source);
  JSAMPROW out = source->RowBuffer[0];
  for (JDIMENSION x = 0; x < compressor->image_width; ++x) {
    (*reader->read_pixel)(reader);
    *out++ = reader->pixel[2];
    *out++ = reader->pixel[1];
    *out++ = reader->pixel[0];
  }
  return 1;
}

// Plain pixel data that have run out read as 0xFF bytes from then on, so
// every row still to come is one and the same.
bool DataSpent(const TargaReader* reader) {
  return reader->data_ran_out && reader->read_pixel == ReadPlainPixel;
}

// That row, converted once and then handed out as it stands, so a picture
// that claims more than its file holds costs no more than its file.
JSAMPARRAY SpentRow(j_compress_ptr compressor, TargaReader* reader) {
  if (reader->spent_row == nullptr) {
    JSAMPARRAY aimed = reader->pub.RowBuffer;
    reader->spent_row = (*compressor->mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(compressor),
                                                         JPOOL_IMAGE, reader->row_samples, 1);
    reader->pub.RowBuffer = reader->spent_row;
    (*reader->convert_row)(compressor, &reader->pub);
    reader->pub.RowBuffer = aimed;
  }
  return reader->spent_row;
}

// Top-down files: each row converted as it comes, until the data are spent.
JDIMENSION ReadStreamRow(j_compress_ptr compressor, PixelSource* source) {
  auto* reader = reinterpret_cast<TargaReader*>(source);
  if (DataSpent(reader)) {
    source->RowBuffer = SpentRow(compressor, reader);
    return 1;
  }
  return (*reader->convert_row)(compressor, source);
}

// Bottom-up files keep their rows in file order; delivery walks them back.
JDIMENSION StoredRowFor(j_compress_ptr compressor, JDIMENSION delivered) {
  return compressor->image_height - 1 - delivered;
}

JDIMENSION ReadMemoryRow(j_compress_ptr compressor, PixelSource* source) {
  auto* reader = reinterpret_cast<TargaReader*>(source);
  const JDIMENSION stored = StoredRowFor(compressor, reader->delivered_rows);
  source->RowBuffer = stored < reader->stored_rows
                          ? (*compressor->mem->access_virt_sarray)(reinterpret_cast<j_common_ptr>(compressor),
                                                                   reader->whole_image, stored, 1, FALSE)
                          : SpentRow(compressor, reader);
  ++reader->delivered_rows;
  return 1;
}

JDIMENSION LoadWholeImage(j_compress_ptr compressor, PixelSource* source) {
  auto* reader = reinterpret_cast<TargaReader*>(source);
  // Rows after the data are spent are not stored: the store's memory for
  // them is never touched.
  JDIMENSION row = 0;
  for (; row < compressor->image_height && !DataSpent(reader); ++row) {
    EndRunIfSignalled(reinterpret_cast<j_common_ptr>(compressor));
    source->RowBuffer = (*compressor->mem->access_virt_sarray)(
        reinterpret_cast<j_common_ptr>(compressor), reader->whole_image, row, 1, TRUE);
    (*reader->convert_row)(compressor, source);
  }
  reader->stored_rows = row;
  source->ReadRows = ReadMemoryRow;
  reader->delivered_rows = 0;
  return ReadMemoryRow(compressor, source);
}

void ReadTargaHeader(j_compress_ptr compressor, PixelSource* source) {
  auto* reader = reinterpret_cast<TargaReader*>(source);
  auto common = reinterpret_cast<j_common_ptr>(compressor);

  unsigned char header[kHeaderSize];
  if (std::fread(header, 1, kHeaderSize, source->InputFile) != kHeaderSize)
    ERREXIT(compressor, JERR_INPUT_EOF);
  const int id_length = header[0];
  const int map_type = header[1];
  int image_type = header[2];
  const unsigned first_map_index = header[3] | header[4] << 8;
  const unsigned map_length = header[5] | header[6] << 8;
  const int map_entry_bits = header[7];
  const JDIMENSION width = header[12] | header[13] << 8;
  const JDIMENSION height = header[14] | header[15] << 8;
  int bits = header[16];
  const int descriptor = header[17];

  if (bits == 15) bits = 16;  // the top bit of a 15-bit pixel is unused anyway
  reader->pixel_size = bits / 8;
  const bool interlaced = (descriptor & 0xC0) != 0;
  if (map_type > 1 || reader->pixel_size < 1 || reader->pixel_size > 4 || bits % 8 != 0 ||
      interlaced)
    ERREXIT(compressor, MSG_TGA_BAD_PARMS);

  if (image_type > 8) {
    reader->read_pixel = ReadRunLengthPixel;
    reader->block_count = reader->repeat_count = 0;
    image_type -= 8;
  } else {
    reader->read_pixel = ReadPlainPixel;
  }

  int components = 3;
  compressor->in_color_space = JCS_RGB;
  switch (image_type) {
    case 1:
      if (reader->pixel_size != 1 || map_type != 1) ERREXIT(compressor, MSG_TGA_BAD_PARMS);
      reader->convert_row = ConvertMappedRow;
      TRACEMS2(compressor, 1, MSG_TGA_TRACE_MAPPED, width, height);
      break;
    case 2:
      switch (reader->pixel_size) {
        case 2: reader->convert_row = Convert16BitRow; break;
        case 3:
        case 4: reader->convert_row = ConvertTrueColourRow; break;
        default: ERREXIT(compressor, MSG_TGA_BAD_PARMS);
      }
      TRACEMS2(compressor, 1, MSG_TGA_TRACE_RGB, width, height);
      break;
    case 3:
      components = 1;
      compressor->in_color_space = JCS_GRAYSCALE;
      if (reader->pixel_size != 1) ERREXIT(compressor, MSG_TGA_BAD_PARMS);
      reader->convert_row = ConvertGrayRow;
      TRACEMS2(compressor, 1, MSG_TGA_TRACE_GRAY, width, height);
      break;
    default:
      ERREXIT(compressor, MSG_TGA_BAD_PARMS);
  }
  // Nothing to allocate for, and the library cannot size a zero-wide row.
  if (width == 0 || height == 0) ERREXIT(compressor, JERR_EMPTY_IMAGE);

  const JDIMENSION row_samples = width * static_cast<JDIMENSION>(components);
  reader->row_samples = row_samples;
  const bool top_down = (descriptor & 0x20) != 0;
  if (top_down) {
    source->RowBuffer = (*compressor->mem->alloc_sarray)(common, JPOOL_IMAGE, row_samples, 1);
    source->ReadRows = ReadStreamRow;
  } else {
    reader->whole_image = (*compressor->mem->request_virt_sarray)(
        common, JPOOL_IMAGE, FALSE, row_samples, height, 1);
    // Only a row pointer: the loader aims it into the whole image.
    source->RowBuffer = static_cast<JSAMPARRAY>(
        (*compressor->mem->alloc_small)(common, JPOOL_IMAGE, sizeof(JSAMPROW)));
    source->RowBuffer[0] = nullptr;
    source->ReadRows = LoadWholeImage;
  }
  source->RowBufferHeight = 1;

  for (int i = 0; i < id_length; ++i) ReadByte(reader);

  if (map_length > 0) {
    if (map_length > kMapEntries || first_map_index != 0) ERREXIT(compressor, MSG_TGA_COLORMAP);
    // Entries the file leaves out stay black, so every byte value has one.
    reader->colour_map = (*compressor->mem->alloc_sarray)(common, JPOOL_IMAGE, kMapEntries, 3);
    for (int c = 0; c < 3; ++c) std::memset(reader->colour_map[c], 0, kMapEntries);
    if (map_entry_bits != 24) ERREXIT(compressor, MSG_TGA_COLORMAP);
    for (unsigned i = 0; i < map_length; ++i) {
      reader->colour_map[2][i] = static_cast<JSAMPLE>(ReadByte(reader));
      reader->colour_map[1][i] = static_cast<JSAMPLE>(ReadByte(reader));
      reader->colour_map[0][i] = static_cast<JSAMPLE>(ReadByte(reader));
    }
  } else if (map_type == 1) {
    ERREXIT(compressor, MSG_TGA_BAD_PARMS);
  }

  compressor->input_components = components;
  compressor->data_precision = 8;
  compressor->image_width = width;
  compressor->image_height = height;
}

void FinishTarga(j_compress_ptr, PixelSource*) {}

}  // namespace

PixelSource* OpenTargaReader(j_compress_ptr compressor) {
  auto* reader = static_cast<TargaReader*>((*compressor->mem->alloc_small)(
      reinterpret_cast<j_common_ptr>(compressor), JPOOL_IMAGE, sizeof(TargaReader)));
  std::memset(reader, 0, sizeof *reader);
  reader->compressor = compressor;
  reader->pub.ReadHeader = ReadTargaHeader;
  reader->pub.FinishReading = FinishTarga;
  return &reader->pub;
}
