// PPM/PGM input: text and binary rasters, one or two bytes per sample,
// rescaled to 8 bits through a table built once from maxval.
#include <climits>
#include <cstring>

#include "converter_support.h"
#include "pixel_source.h"

namespace {

constexpr unsigned kLargestMaxval = 65535;  // two bytes per sample at most

struct PpmReader {
  PixelSource pub;  // must be first

  j_compress_ptr compressor;
  UINT8* io_buffer;        // one file row of a binary raster
  size_t io_buffer_width;  // bytes in it
  JSAMPARRAY raw_row;      // io_buffer seen as a sample row (maxval 255)
  JSAMPLE* rescale;        // sample value -> 8 bits; values above maxval give 255
  unsigned maxval;
};

// One character of the header or of a text raster.
int ReadTextChar(PpmReader* ppm) { return ReadCommentedChar(ppm->pub.InputFile); }

// An unsigned decimal number and the one character after it. A number too
// large for the accumulator sticks at UINT_MAX rather than wrapping, so it
// is never mistaken for a small one.
unsigned ReadNumber(PpmReader* ppm) {
  int c;
  do {
    c = ReadTextChar(ppm);
    if (c == EOF) ERREXIT(ppm->compressor, JERR_INPUT_EOF);
  } while (c == ' ' || c == '\t' || c == '\n' || c == '\r');
  if (c < '0' || c > '9') ERREXIT(ppm->compressor, MSG_PPM_NONNUMERIC);

  unsigned value = static_cast<unsigned>(c - '0');
  while ((c = ReadTextChar(ppm)) >= '0' && c <= '9') {
    unsigned digit = static_cast<unsigned>(c - '0');
    value = value > (UINT_MAX - digit) / 10 ? UINT_MAX : value * 10 + digit;
  }
  return value;
}

// Text sample: anything above maxval is taken as maxval.
JSAMPLE ReadTextSample(PpmReader* ppm) {
  unsigned v = ReadNumber(ppm);
  return ppm->rescale[v > ppm->maxval ? ppm->maxval : v];
}

void ReadFileRow(PpmReader* ppm) {
  if (std::fread(ppm->io_buffer, 1, ppm->io_buffer_width, ppm->pub.InputFile) !=
      ppm->io_buffer_width) {
    ERREXIT(ppm->compressor, JERR_INPUT_EOF);
  }
}

JDIMENSION ReadTextGrayRow(j_compress_ptr compressor, PixelSource* source) {
  PpmReader* ppm = reinterpret_cast<PpmReader*>(source);
  JSAMPROW out = source->RowBuffer[0];
  for (JDIMENSION x = 0; x < compressor->image_width; ++x) out[x] = ReadTextSample(ppm);
  return 1;
}

JDIMENSION ReadTextRgbRow(j_compress_ptr compressor, PixelSource* source) {
  PpmReader* ppm = reinterpret_cast<PpmReader*>(source);
  JSAMPROW out = source->RowBuffer[0];
  for (JDIMENSION x = 0; x < compressor->image_width; ++x) {
    *out++ = ReadTextSample(ppm);
    *out++ = ReadTextSample(ppm);
    *out++ = ReadTextSample(ppm);
  }
  return 1;
}

// Gray and RGB alike: every byte of the file row is one sample.
JDIMENSION ReadScaledRow(j_compress_ptr, PixelSource* source) {
  PpmReader* ppm = reinterpret_cast<PpmReader*>(source);
  ReadFileRow(ppm);
  const UINT8* in = ppm->io_buffer;
  const JSAMPLE* rescale = ppm->rescale;
  JSAMPROW out = source->RowBuffer[0];
  for (size_t i = 0; i < ppm->io_buffer_width; ++i) out[i] = rescale[in[i]];
  return 1;
}

// maxval 255: the file row is the sample row.
JDIMENSION ReadRawRow(j_compress_ptr, PixelSource* source) {
  ReadFileRow(reinterpret_cast<PpmReader*>(source));
  return 1;
}

// Two bytes per sample, most significant first as the format has them.
JDIMENSION ReadWideRow(j_compress_ptr, PixelSource* source) {
  PpmReader* ppm = reinterpret_cast<PpmReader*>(source);
  ReadFileRow(ppm);
  const UINT8* in = ppm->io_buffer;
  const JSAMPLE* rescale = ppm->rescale;
  JSAMPROW out = source->RowBuffer[0];
  size_t samples = ppm->io_buffer_width / 2;
  for (size_t i = 0; i < samples; ++i) {
    out[i] = rescale[(static_cast<unsigned>(in[0]) << 8) | in[1]];
    in += 2;
  }
  return 1;
}

void ReadPpmHeader(j_compress_ptr compressor, PixelSource* source) {
  PpmReader* ppm = reinterpret_cast<PpmReader*>(source);
  j_common_ptr common = reinterpret_cast<j_common_ptr>(compressor);

  if (std::getc(source->InputFile) != 'P') ERREXIT(compressor, MSG_PPM_NOT);
  int format = std::getc(source->InputFile);
  // Bitmaps ('1', '4') and anything else are refused before their raster is
  // taken for header numbers.
  if (format != '2' && format != '3' && format != '5' && format != '6') {
    ERREXIT(compressor, MSG_PPM_NOT);
  }

  unsigned width = ReadNumber(ppm);
  unsigned height = ReadNumber(ppm);
  unsigned maxval = ReadNumber(ppm);
  if (width == 0 || height == 0 || maxval == 0 || maxval > kLargestMaxval) {
    ERREXIT(compressor, MSG_PPM_NOT);
  }
  // Beyond this the library refuses the picture anyway; refusing it here
  // keeps the row sizes below from overflowing.
  if (width > JPEG_MAX_DIMENSION || height > JPEG_MAX_DIMENSION) {
    ERREXIT1(compressor, JERR_IMAGE_TOO_BIG, static_cast<unsigned>(JPEG_MAX_DIMENSION));
  }
  ppm->maxval = maxval;

  compressor->data_precision = 8;
  compressor->image_width = width;
  compressor->image_height = height;

  bool gray = format == '2' || format == '5';
  bool text = format == '2' || format == '3';
  compressor->input_components = gray ? 1 : 3;
  compressor->in_color_space = gray ? JCS_GRAYSCALE : JCS_RGB;
  int trace = text ? (gray ? MSG_PPM_TRACE_PGM_TEXT : MSG_PPM_TRACE_PPM_TEXT)
                   : (gray ? MSG_PPM_TRACE_PGM : MSG_PPM_TRACE_PPM);
  TRACEMS2(compressor, 1, trace, width, height);

  size_t row_samples = static_cast<size_t>(width) * compressor->input_components;
  bool raw = false;
  if (text) {
    source->ReadRows = gray ? ReadTextGrayRow : ReadTextRgbRow;
  } else {
    raw = maxval == 255;
    source->ReadRows = maxval > 255 ? ReadWideRow : raw ? ReadRawRow : ReadScaledRow;
    ppm->io_buffer_width = row_samples * (maxval > 255 ? 2 : 1);
    ppm->io_buffer = static_cast<UINT8*>(
        (*compressor->mem->alloc_large)(common, JPOOL_IMAGE, ppm->io_buffer_width));
  }

  if (raw) {
    ppm->raw_row = static_cast<JSAMPARRAY>(
        (*compressor->mem->alloc_small)(common, JPOOL_IMAGE, sizeof(JSAMPROW)));
    ppm->raw_row[0] = ppm->io_buffer;
    source->RowBuffer = ppm->raw_row;
  } else {
    source->RowBuffer = (*compressor->mem->alloc_sarray)(
        common, JPOOL_IMAGE, static_cast<JDIMENSION>(row_samples), 1);
    // Sized for every value the raster can hold, so a sample above maxval
    // needs no test on the binary paths: those entries give 255, as maxval
    // itself does.
    size_t entries = maxval > 255 ? kLargestMaxval + 1 : 256;
    ppm->rescale = static_cast<JSAMPLE*>(
        (*compressor->mem->alloc_small)(common, JPOOL_IMAGE, entries));
    unsigned half = maxval / 2;
    for (size_t v = 0; v < entries; ++v) {
      ppm->rescale[v] = v <= maxval ? static_cast<JSAMPLE>((v * 255 + half) / maxval) : 255;
    }
  }
  source->RowBufferHeight = 1;
}

void FinishPpm(j_compress_ptr, PixelSource*) {}

}  // namespace

PixelSource* OpenPpmReader(j_compress_ptr compressor) {
  PpmReader* ppm = static_cast<PpmReader*>((*compressor->mem->alloc_small)(
      reinterpret_cast<j_common_ptr>(compressor), JPOOL_IMAGE, sizeof(PpmReader)));
  std::memset(static_cast<void*>(ppm), 0, sizeof(PpmReader));
  ppm->compressor = compressor;
  ppm->pub.ReadHeader = ReadPpmHeader;
  ppm->pub.FinishReading = FinishPpm;
  return &ppm->pub;
}
