// What the decoding-command and BMP tests add to the writers' helpers: byte
// edits of JPEG files made by an independent encoder, a file with restart
// markers, a large picture made quickly, and a BMP file taken apart field by
// field. Other suites in this folder may use it too, so keep it small and
// its signatures stable.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace djpegoracle {

// `jpeg` with a marker segment (code `marker`, e.g. 0xFE for a comment)
// inserted right after the start-of-image marker. `length_field` overrides
// the segment's length field when not negative.
std::string WithSegment(const std::string& jpeg, int marker, const std::string& payload, int length_field = -1);

// `jpeg` (which must start with a JFIF APP0 segment) with its density
// unit and densities replaced.
std::string WithJfifDensity(const std::string& jpeg, int unit, int x_density, int y_density);

// `jpeg` with the frame header's height and width replaced.
std::string WithFrameSize(const std::string& jpeg, unsigned width, unsigned height);

// A JPEG compressed by the bare library with a restart marker after every
// `restart_rows` MCU rows; components 1 (grayscale) or 3 (RGB, 4:2:0).
std::string MakeJpegWithRestarts(int width, int height, int components, int restart_rows);

// A picture for Pillow to make: gradients with a little seeded noise, in
// `mode` "RGB", "L" or "CMYK", saved with Pillow's keyword arguments
// `options` (e.g. "quality=90, subsampling=0").
struct JpegRecipe {
  std::string path;
  std::string mode;
  int width;
  int height;
  std::string options;
};
// All in one interpreter start: the start is what costs.
void MakeJpegs(const std::vector<JpegRecipe>& recipes);

// Each file's samples as Pillow decodes it, in its own mode (one byte per
// pixel for grayscale, red, green, blue otherwise); empty when Pillow
// cannot read it.
std::vector<std::string> DecodeWithPillow(const std::vector<std::string>& paths);

// A BMP file taken apart. Absent fields stay 0.
struct BmpFile {
  bool ok = false;                 // "BM" and at least the headers present
  std::uint32_t file_size = 0;     // as the header states it
  std::uint32_t header_size = 0;   // offset of the first pixel row
  std::uint32_t info_size = 0;     // 40 (Windows) or 12 (OS/2)
  std::int64_t width = 0;
  std::int64_t height = 0;
  unsigned planes = 0;
  unsigned bits_per_pixel = 0;
  std::uint32_t compression = 0;
  std::uint32_t image_size = 0;
  std::uint32_t x_pixels_per_metre = 0;
  std::uint32_t y_pixels_per_metre = 0;
  std::uint32_t colours_used = 0;
  std::uint32_t colours_important = 0;
  std::string table;               // colour table bytes as stored
  std::string pixels;              // from header_size to the end of the file
};
BmpFile ParseBmp(const std::string& bytes);

// The pixel rows of a parsed BMP, top row first, padding dropped, 24-bit
// pixels turned back to red, green, blue.
std::string RowsTopDown(const BmpFile& bmp);

// File descriptors this process has open, to see that a run closed its files.
int OpenFileCount();

}  // namespace djpegoracle
