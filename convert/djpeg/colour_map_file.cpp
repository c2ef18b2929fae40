// The -map file: a GIF whose global colour table, or a text or binary PPM
// whose distinct pixel colours, become the fixed map the output is
// quantized to.
#include <cstdint>

#include "converter_support.h"
#include "image_writer.h"

namespace {

constexpr int kMapEntries = 256;  // the most a map (and an 8-bit index) can hold

// Adds a colour unless the map has it already; entries keep the order in
// which they were first met.
void AppendMapColour(j_decompress_ptr decompressor, int red, int green, int blue) {
  JSAMPARRAY map = decompressor->colormap;
  const int count = decompressor->actual_number_of_colors;
  for (int i = 0; i < count; ++i) {
    if (map[0][i] == red && map[1][i] == green && map[2][i] == blue) return;
  }
  if (count >= kMapEntries) ERREXIT1(decompressor, JERR_QUANT_MANY_COLORS, kMapEntries);
  map[0][count] = static_cast<JSAMPLE>(red);
  map[1][count] = static_cast<JSAMPLE>(green);
  map[2][count] = static_cast<JSAMPLE>(blue);
  decompressor->actual_number_of_colors = count + 1;
}

// An unsigned decimal number after optional white space; the byte that ends
// it is consumed. Numbers too large to be a size or a sample are refused
// rather than allowed to wrap.
unsigned ReadMapNumber(j_decompress_ptr decompressor, std::FILE* file) {
  constexpr std::uint32_t kLargest = 0x7FFFFFFF;
  int c;
  do {
    c = ReadCommentedChar(file);
    if (c == EOF) ERREXIT(decompressor, MSG_BAD_CMAP_FILE);
  } while (c == ' ' || c == '\t' || c == '\n' || c == '\r');
  if (c < '0' || c > '9') ERREXIT(decompressor, MSG_BAD_CMAP_FILE);

  std::uint32_t value = 0;
  do {
    const std::uint32_t digit = static_cast<std::uint32_t>(c - '0');
    if (value > (kLargest - digit) / 10) ERREXIT(decompressor, MSG_BAD_CMAP_FILE);
    value = value * 10 + digit;
    c = ReadCommentedChar(file);
  } while (c >= '0' && c <= '9');
  return value;
}

void ReadGifMap(j_decompress_ptr decompressor, std::FILE* file) {
  // The rest of the signature and the logical screen descriptor.
  int header[12];
  for (int& byte : header) {
    byte = std::getc(file);
    if (byte == EOF) ERREXIT(decompressor, MSG_BAD_CMAP_FILE);
  }
  if (header[0] != 'I' || header[1] != 'F') ERREXIT(decompressor, MSG_BAD_CMAP_FILE);
  const int flags = header[9];
  if ((flags & 0x80) == 0) ERREXIT(decompressor, MSG_BAD_CMAP_FILE);  // no global table

  const int entries = 2 << (flags & 7);
  for (int i = 0; i < entries; ++i) {
    const int red = std::getc(file);
    const int green = std::getc(file);
    const int blue = std::getc(file);
    if (red == EOF || green == EOF || blue == EOF) ERREXIT(decompressor, MSG_BAD_CMAP_FILE);
    AppendMapColour(decompressor, red, green, blue);
  }
}

void ReadPpmMap(j_decompress_ptr decompressor, std::FILE* file) {
  const int format = std::getc(file);
  const std::uint64_t width = ReadMapNumber(decompressor, file);
  const std::uint64_t height = ReadMapNumber(decompressor, file);
  const unsigned maximum = ReadMapNumber(decompressor, file);
  if (width == 0 || height == 0 || maximum == 0) ERREXIT(decompressor, MSG_BAD_CMAP_FILE);
  if (maximum != 255) ERREXIT(decompressor, MSG_BAD_CMAP_FILE);  // no rescaling

  const std::uint64_t pixels = width * height;
  if (format == '3') {
    for (std::uint64_t n = 0; n < pixels; ++n) {
      const unsigned red = ReadMapNumber(decompressor, file);
      const unsigned green = ReadMapNumber(decompressor, file);
      const unsigned blue = ReadMapNumber(decompressor, file);
      // A sample above the declared maximum cannot be a colour of this map.
      if (red > maximum || green > maximum || blue > maximum) ERREXIT(decompressor, MSG_BAD_CMAP_FILE);
      AppendMapColour(decompressor, static_cast<int>(red), static_cast<int>(green), static_cast<int>(blue));
    }
  } else if (format == '6') {
    for (std::uint64_t n = 0; n < pixels; ++n) {
      const int red = std::getc(file);
      const int green = std::getc(file);
      const int blue = std::getc(file);
      if (red == EOF || green == EOF || blue == EOF) ERREXIT(decompressor, MSG_BAD_CMAP_FILE);
      AppendMapColour(decompressor, red, green, blue);
    }
  } else {
    ERREXIT(decompressor, MSG_BAD_CMAP_FILE);
  }
}

}  // namespace

void LoadColourMapFile(j_decompress_ptr decompressor, std::FILE* file) {
  decompressor->colormap = (*decompressor->mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(decompressor),
                                                              JPOOL_IMAGE, kMapEntries, 3);
  decompressor->actual_number_of_colors = 0;

  const int first = std::getc(file);
  if (first == 'G')
    ReadGifMap(decompressor, file);
  else if (first == 'P')
    ReadPpmMap(decompressor, file);
  else
    ERREXIT(decompressor, MSG_BAD_CMAP_FILE);
}
