// Targa output: uncompressed true-colour, grayscale or colour-mapped files,
// rows top-down so that no whole-picture buffer is needed.
#include <cstring>

#include "converter_support.h"
#include "image_writer.h"

namespace {

constexpr int kTargaHeaderBytes = 18;

struct TargaWriter {
  ImageWriter pub;          // must be first: the command sees only this
  JSAMPLE* FileRow;         // one row as it goes to the file
  JDIMENSION FileRowBytes;  // output_width x output_components
};

TargaWriter* Private(ImageWriter* writer) { return reinterpret_cast<TargaWriter*>(writer); }

void WriteTargaHeader(j_decompress_ptr decompressor, std::FILE* file, int map_entries, int image_type,
                      int bits_per_pixel) {
  unsigned char header[kTargaHeaderBytes] = {};
  if (map_entries > 0) {
    header[1] = 1;  // a colour map follows
    header[5] = static_cast<unsigned char>(map_entries & 0xFF);
    header[6] = static_cast<unsigned char>(map_entries >> 8);
    header[7] = 24;
  }
  header[2] = static_cast<unsigned char>(image_type);
  header[12] = static_cast<unsigned char>(decompressor->output_width & 0xFF);
  header[13] = static_cast<unsigned char>(decompressor->output_width >> 8);
  header[14] = static_cast<unsigned char>(decompressor->output_height & 0xFF);
  header[15] = static_cast<unsigned char>(decompressor->output_height >> 8);
  header[16] = static_cast<unsigned char>(bits_per_pixel);
  header[17] = 0x20;  // top-left origin: rows arrive top-down
  if (std::fwrite(header, 1, kTargaHeaderBytes, file) != kTargaHeaderBytes)
    ERREXIT(decompressor, JERR_FILE_WRITE);
}

// The three row forms. Failed row writes are caught by the final flush.
void CopyRow(j_decompress_ptr, ImageWriter* writer, JDIMENSION) {
  TargaWriter* self = Private(writer);
  std::memcpy(self->FileRow, writer->RowBuffer[0], self->FileRowBytes);
  std::fwrite(self->FileRow, 1, self->FileRowBytes, writer->OutputFile);
}

void SwapRedBlueRow(j_decompress_ptr decompressor, ImageWriter* writer, JDIMENSION) {
  TargaWriter* self = Private(writer);
  const JSAMPLE* in = writer->RowBuffer[0];
  JSAMPLE* out = self->FileRow;
  for (JDIMENSION column = 0; column < decompressor->output_width; ++column, in += 3, out += 3) {
    out[0] = in[2];
    out[1] = in[1];
    out[2] = in[0];
  }
  std::fwrite(self->FileRow, 1, self->FileRowBytes, writer->OutputFile);
}

// A quantized gray picture keeps no map in the file, so the indexes are
// turned back into the gray levels they stand for.
void DemapGrayRow(j_decompress_ptr decompressor, ImageWriter* writer, JDIMENSION) {
  TargaWriter* self = Private(writer);
  const JSAMPLE* in = writer->RowBuffer[0];
  const JSAMPLE* levels = decompressor->colormap[0];
  for (JDIMENSION column = 0; column < decompressor->output_width; ++column)
    self->FileRow[column] = levels[in[column]];
  std::fwrite(self->FileRow, 1, self->FileRowBytes, writer->OutputFile);
}

void BeginTarga(j_decompress_ptr decompressor, ImageWriter* writer) {
  std::FILE* file = writer->OutputFile;
  if (decompressor->out_color_space == JCS_GRAYSCALE) {
    WriteTargaHeader(decompressor, file, 0, 3, 8);
    writer->WriteRows = decompressor->quantize_colors ? DemapGrayRow : CopyRow;
  } else if (decompressor->out_color_space == JCS_RGB) {
    if (decompressor->quantize_colors) {
      const int entries = decompressor->actual_number_of_colors;
      if (entries > 256) ERREXIT1(decompressor, MSG_TOO_MANY_COLORS, entries);
      WriteTargaHeader(decompressor, file, entries, 1, 8);
      for (int i = 0; i < entries; ++i) {
        std::putc(decompressor->colormap[2][i], file);
        std::putc(decompressor->colormap[1][i], file);
        std::putc(decompressor->colormap[0][i], file);
      }
      writer->WriteRows = CopyRow;
    } else {
      WriteTargaHeader(decompressor, file, 0, 2, 24);
      writer->WriteRows = SwapRedBlueRow;
    }
  } else {
    ERREXIT(decompressor, MSG_TGA_COLORSPACE);
  }
}

void EndTarga(j_decompress_ptr decompressor, ImageWriter* writer) {
  std::fflush(writer->OutputFile);
  if (std::ferror(writer->OutputFile)) ERREXIT(decompressor, JERR_FILE_WRITE);
}

}  // namespace

ImageWriter* CreateTargaWriter(j_decompress_ptr decompressor) {
  auto* self = static_cast<TargaWriter*>(
      (*decompressor->mem->alloc_small)(reinterpret_cast<j_common_ptr>(decompressor), JPOOL_IMAGE,
                                        sizeof(TargaWriter)));
  self->pub.BeginImage = BeginTarga;
  self->pub.WriteRows = CopyRow;  // chosen for real once the colour space is known
  self->pub.EndImage = EndTarga;
  self->pub.OutputFile = nullptr;

  jpeg_calc_output_dimensions(decompressor);

  self->FileRowBytes = decompressor->output_width * static_cast<JDIMENSION>(decompressor->output_components);
  self->FileRow = static_cast<JSAMPLE*>((*decompressor->mem->alloc_large)(
      reinterpret_cast<j_common_ptr>(decompressor), JPOOL_IMAGE, self->FileRowBytes * sizeof(JSAMPLE)));
  self->pub.RowBuffer = (*decompressor->mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(decompressor),
                                                          JPOOL_IMAGE, self->FileRowBytes, 1);
  self->pub.RowBufferHeight = 1;
  return &self->pub;
}
