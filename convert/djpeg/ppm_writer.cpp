// PPM/PGM output: binary "P6" or "P5" files with a maximum value of 255.
#include "converter_support.h"
#include "image_writer.h"

namespace {

struct PpmWriter {
  ImageWriter pub;           // must be first: the command sees only this
  JSAMPLE* FileRow;          // one row as it goes to the file
  JDIMENSION FileRowBytes;   // output_width x out_color_components
};

PpmWriter* Private(ImageWriter* writer) { return reinterpret_cast<PpmWriter*>(writer); }

// Unquantized rows are decoded straight into FileRow. Failed row writes are
// caught by the final flush.
void WriteRowAsIs(j_decompress_ptr, ImageWriter* writer, JDIMENSION) {
  PpmWriter* self = Private(writer);
  std::fwrite(self->FileRow, 1, self->FileRowBytes, writer->OutputFile);
}

void DemapGrayRow(j_decompress_ptr decompressor, ImageWriter* writer, JDIMENSION) {
  PpmWriter* self = Private(writer);
  const JSAMPLE* in = writer->RowBuffer[0];
  const JSAMPLE* levels = decompressor->colormap[0];
  for (JDIMENSION column = 0; column < decompressor->output_width; ++column)
    self->FileRow[column] = levels[in[column]];
  std::fwrite(self->FileRow, 1, self->FileRowBytes, writer->OutputFile);
}

void DemapColourRow(j_decompress_ptr decompressor, ImageWriter* writer, JDIMENSION) {
  PpmWriter* self = Private(writer);
  const JSAMPLE* in = writer->RowBuffer[0];
  const JSAMPLE* red = decompressor->colormap[0];
  const JSAMPLE* green = decompressor->colormap[1];
  const JSAMPLE* blue = decompressor->colormap[2];
  JSAMPLE* out = self->FileRow;
  for (JDIMENSION column = 0; column < decompressor->output_width; ++column, out += 3) {
    const int index = in[column];
    out[0] = red[index];
    out[1] = green[index];
    out[2] = blue[index];
  }
  std::fwrite(self->FileRow, 1, self->FileRowBytes, writer->OutputFile);
}

void BeginPpm(j_decompress_ptr decompressor, ImageWriter* writer) {
  const char* format = nullptr;
  if (decompressor->out_color_space == JCS_GRAYSCALE)
    format = "P5\n%ld %ld\n%d\n";
  else if (decompressor->out_color_space == JCS_RGB)
    format = "P6\n%ld %ld\n%d\n";
  if (format == nullptr) {
    ERREXIT(decompressor, MSG_PPM_COLORSPACE);
    return;
  }
  std::fprintf(writer->OutputFile, format, static_cast<long>(decompressor->output_width),
               static_cast<long>(decompressor->output_height), 255);
}

void EndPpm(j_decompress_ptr decompressor, ImageWriter* writer) {
  std::fflush(writer->OutputFile);
  if (std::ferror(writer->OutputFile)) ERREXIT(decompressor, JERR_FILE_WRITE);
}

}  // namespace

ImageWriter* CreatePpmWriter(j_decompress_ptr decompressor) {
  auto common = reinterpret_cast<j_common_ptr>(decompressor);
  auto* self = static_cast<PpmWriter*>((*decompressor->mem->alloc_small)(common, JPOOL_IMAGE, sizeof(PpmWriter)));
  self->pub.BeginImage = BeginPpm;
  self->pub.EndImage = EndPpm;
  self->pub.OutputFile = nullptr;

  jpeg_calc_output_dimensions(decompressor);

  self->FileRowBytes = decompressor->output_width * static_cast<JDIMENSION>(decompressor->out_color_components);
  self->FileRow = static_cast<JSAMPLE*>(
      (*decompressor->mem->alloc_large)(common, JPOOL_IMAGE, self->FileRowBytes * sizeof(JSAMPLE)));

  if (decompressor->quantize_colors) {
    self->pub.RowBuffer = (*decompressor->mem->alloc_sarray)(
        common, JPOOL_IMAGE,
        decompressor->output_width * static_cast<JDIMENSION>(decompressor->output_components), 1);
    self->pub.WriteRows = decompressor->out_color_space == JCS_GRAYSCALE ? DemapGrayRow : DemapColourRow;
  } else {
    // The decoder writes straight into the file row.
    self->pub.RowBuffer = static_cast<JSAMPARRAY>(
        (*decompressor->mem->alloc_small)(common, JPOOL_IMAGE, sizeof(JSAMPROW)));
    self->pub.RowBuffer[0] = self->FileRow;
    self->pub.WriteRows = WriteRowAsIs;
  }
  self->pub.RowBufferHeight = 1;
  return &self->pub;
}
