// GIF output: GIF87a files with a global colour table, the pixels
// compressed with variable-width LZW codes of at most 12 bits.
#include <cstdint>

#include "converter_support.h"
#include "image_writer.h"

namespace {

constexpr int kMaxCodeBits = 12;
constexpr int kCodeLimit = 1 << kMaxCodeBits;  // codes 0..4095
// A prime comfortably above the code limit keeps the table at most 82 % full.
constexpr int kHashSlots = 5003;
constexpr int kBlockDataBytes = 255;

using LzwCode = std::uint16_t;

struct GifWriter {
  ImageWriter pub;  // must be first: the command sees only this
  j_decompress_ptr Decompressor;

  // Code packing.
  int CodeBits;            // width of the codes now being written
  LzwCode LargestCode;     // a free code above this widens the codes
  int InitialCodeBits;     // width restored by every clear code
  std::uint32_t BitBuffer; // bits not yet output, lowest first
  int BitCount;

  // String building.
  LzwCode WaitingCode;     // the longest known string read so far
  bool FirstByte;          // true while there is no waiting code

  // Code assignment.
  LzwCode ClearCode;
  LzwCode EndCode;
  LzwCode NextFreeCode;

  // Strings seen so far: (prefix code << 8) | suffix byte, by hash slot.
  LzwCode* HashCode;          // 0 marks an empty slot
  std::uint32_t* HashValue;

  // The data sub-block being built: byte 0 is its length.
  int BlockCount;
  unsigned char Block[kBlockDataBytes + 1];
};

GifWriter* Private(ImageWriter* writer) { return reinterpret_cast<GifWriter*>(writer); }

void PutWord(unsigned value, std::FILE* file) {
  std::putc(static_cast<int>(value & 0xFF), file);
  std::putc(static_cast<int>((value >> 8) & 0xFF), file);
}

void FlushBlock(GifWriter* self) {
  if (self->BlockCount > 0) {
    self->Block[0] = static_cast<unsigned char>(self->BlockCount);
    const std::size_t length = static_cast<std::size_t>(self->BlockCount) + 1;
    if (std::fwrite(self->Block, 1, length, self->pub.OutputFile) != length)
      ERREXIT(self->Decompressor, JERR_FILE_WRITE);
    self->BlockCount = 0;
  }
}

void AppendByte(GifWriter* self, unsigned char byte) {
  self->Block[++self->BlockCount] = byte;
  if (self->BlockCount >= kBlockDataBytes) FlushBlock(self);
}

void OutputCode(GifWriter* self, LzwCode code) {
  self->BitBuffer |= static_cast<std::uint32_t>(code) << self->BitCount;
  self->BitCount += self->CodeBits;
  while (self->BitCount >= 8) {
    AppendByte(self, static_cast<unsigned char>(self->BitBuffer & 0xFF));
    self->BitBuffer >>= 8;
    self->BitCount -= 8;
  }
  // The decoder widens its codes as soon as its table outgrows the width,
  // so we must do the same; at 12 bits the width stays put.
  if (self->NextFreeCode > self->LargestCode) {
    ++self->CodeBits;
    self->LargestCode = self->CodeBits == kMaxCodeBits ? static_cast<LzwCode>(kCodeLimit)
                                                       : static_cast<LzwCode>((1 << self->CodeBits) - 1);
  }
}

void ClearHashTable(GifWriter* self) {
  for (int i = 0; i < kHashSlots; ++i) self->HashCode[i] = 0;
}

void StartCompressor(GifWriter* self, int code_bits) {
  self->CodeBits = code_bits;
  self->InitialCodeBits = code_bits;
  self->LargestCode = static_cast<LzwCode>((1 << code_bits) - 1);
  self->ClearCode = static_cast<LzwCode>(1 << (code_bits - 1));
  self->EndCode = static_cast<LzwCode>(self->ClearCode + 1);
  self->NextFreeCode = static_cast<LzwCode>(self->ClearCode + 2);
  self->FirstByte = true;
  self->WaitingCode = 0;
  self->BlockCount = 0;
  self->BitBuffer = 0;
  self->BitCount = 0;
  ClearHashTable(self);
  OutputCode(self, self->ClearCode);
}

void CompressByte(GifWriter* self, int c) {
  if (self->FirstByte) {
    self->WaitingCode = static_cast<LzwCode>(c);
    self->FirstByte = false;
    return;
  }

  int slot = (c << (kMaxCodeBits - 8)) + self->WaitingCode;
  if (slot >= kHashSlots) slot -= kHashSlots;
  const std::uint32_t probe = (static_cast<std::uint32_t>(self->WaitingCode) << 8) | static_cast<std::uint32_t>(c);

  if (self->HashCode[slot] != 0) {
    if (self->HashValue[slot] == probe) {
      self->WaitingCode = self->HashCode[slot];
      return;
    }
    const int step = slot == 0 ? 1 : kHashSlots - slot;
    for (;;) {
      slot -= step;
      if (slot < 0) slot += kHashSlots;
      if (self->HashCode[slot] == 0) break;
      if (self->HashValue[slot] == probe) {
        self->WaitingCode = self->HashCode[slot];
        return;
      }
    }
  }

  OutputCode(self, self->WaitingCode);
  if (self->NextFreeCode < kCodeLimit) {
    self->HashCode[slot] = self->NextFreeCode++;
    self->HashValue[slot] = probe;
  } else {
    // The table is full: start afresh rather than keep a stale dictionary.
    ClearHashTable(self);
    self->NextFreeCode = static_cast<LzwCode>(self->ClearCode + 2);
    OutputCode(self, self->ClearCode);
    self->CodeBits = self->InitialCodeBits;
    self->LargestCode = static_cast<LzwCode>((1 << self->CodeBits) - 1);
  }
  self->WaitingCode = static_cast<LzwCode>(c);
}

void WriteGifRow(j_decompress_ptr decompressor, ImageWriter* writer, JDIMENSION) {
  GifWriter* self = Private(writer);
  const JSAMPLE* row = writer->RowBuffer[0];
  for (JDIMENSION column = 0; column < decompressor->output_width; ++column) CompressByte(self, row[column]);
}

void BeginGif(j_decompress_ptr decompressor, ImageWriter* writer) {
  GifWriter* self = Private(writer);
  std::FILE* file = writer->OutputFile;

  int entries = 256;
  JSAMPARRAY map = nullptr;
  if (decompressor->quantize_colors) {
    entries = decompressor->actual_number_of_colors;
    map = decompressor->colormap;
  }
  if (entries > 256) ERREXIT1(decompressor, MSG_TOO_MANY_COLORS, entries);

  int bits_per_pixel = 1;
  while (entries > (1 << bits_per_pixel)) ++bits_per_pixel;
  const int table_entries = 1 << bits_per_pixel;
  const int initial_code_size = bits_per_pixel == 1 ? 2 : bits_per_pixel;
  const int shift = decompressor->data_precision > 8 ? decompressor->data_precision - 8 : 0;

  std::fputs("GIF87a", file);
  PutWord(decompressor->output_width, file);
  PutWord(decompressor->output_height, file);
  std::putc(0x80 | ((bits_per_pixel - 1) << 4) | (bits_per_pixel - 1), file);
  std::putc(0, file);  // background colour index
  std::putc(0, file);  // reserved

  for (int i = 0; i < table_entries; ++i) {
    if (i >= entries) {
      std::putc(0, file);
      std::putc(0, file);
      std::putc(0, file);
    } else if (map != nullptr && decompressor->out_color_space == JCS_RGB) {
      std::putc(map[0][i] >> shift, file);
      std::putc(map[1][i] >> shift, file);
      std::putc(map[2][i] >> shift, file);
    } else {
      const int level = map != nullptr ? map[0][i] >> shift : (i * 255 + (entries - 1) / 2) / (entries - 1);
      std::putc(level, file);
      std::putc(level, file);
      std::putc(level, file);
    }
  }

  std::putc(',', file);
  PutWord(0, file);  // left
  PutWord(0, file);  // top
  PutWord(decompressor->output_width, file);
  PutWord(decompressor->output_height, file);
  std::putc(0x00, file);  // no local table, not interlaced
  std::putc(initial_code_size, file);

  StartCompressor(self, initial_code_size + 1);
}

void EndGif(j_decompress_ptr decompressor, ImageWriter* writer) {
  GifWriter* self = Private(writer);
  if (!self->FirstByte) OutputCode(self, self->WaitingCode);
  OutputCode(self, self->EndCode);
  if (self->BitCount > 0) AppendByte(self, static_cast<unsigned char>(self->BitBuffer & 0xFF));
  FlushBlock(self);
  std::putc(0, writer->OutputFile);    // block terminator
  std::putc(';', writer->OutputFile);  // trailer
  std::fflush(writer->OutputFile);
  if (std::ferror(writer->OutputFile)) ERREXIT(decompressor, JERR_FILE_WRITE);
}

}  // namespace

ImageWriter* CreateGifWriter(j_decompress_ptr decompressor) {
  auto common = reinterpret_cast<j_common_ptr>(decompressor);
  auto* self = static_cast<GifWriter*>((*decompressor->mem->alloc_small)(common, JPOOL_IMAGE, sizeof(GifWriter)));
  self->Decompressor = decompressor;
  self->pub.BeginImage = BeginGif;
  self->pub.WriteRows = WriteGifRow;
  self->pub.EndImage = EndGif;
  self->pub.OutputFile = nullptr;
  self->BlockCount = 0;

  if (decompressor->out_color_space != JCS_GRAYSCALE && decompressor->out_color_space != JCS_RGB)
    ERREXIT(decompressor, MSG_GIF_COLORSPACE);

  // A GIF holds at most 256 colours, and gray samples only fit as they are
  // when they are 8 bits wide.
  if (decompressor->out_color_space != JCS_GRAYSCALE || decompressor->data_precision > 8) {
    decompressor->quantize_colors = TRUE;
    if (decompressor->desired_number_of_colors > 256) decompressor->desired_number_of_colors = 256;
  }

  jpeg_calc_output_dimensions(decompressor);
  if (decompressor->output_components != 1) ERREXIT(decompressor, MSG_GIF_BUG);

  self->pub.RowBuffer = (*decompressor->mem->alloc_sarray)(common, JPOOL_IMAGE, decompressor->output_width, 1);
  self->pub.RowBufferHeight = 1;
  self->HashCode = static_cast<LzwCode*>((*decompressor->mem->alloc_small)(common, JPOOL_IMAGE, kHashSlots * sizeof(LzwCode)));
  self->HashValue = static_cast<std::uint32_t*>(
      (*decompressor->mem->alloc_small)(common, JPOOL_IMAGE, kHashSlots * sizeof(std::uint32_t)));
  return &self->pub;
}
