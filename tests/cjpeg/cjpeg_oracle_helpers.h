// The reference the encoding command is held to: the same pixels compressed
// by the bare library with the parameters the command uses, and pixels read
// back from a picture file by an independent decoder (Pillow).
#pragma once

#include <array>
#include <string>
#include <vector>

namespace cjpegoracle {

// 8-bit samples, rows top first, RGB order for 3 components.
struct Pixels {
  int width = 0;
  int height = 0;
  int components = 0;  // 1 (grayscale) or 3 (RGB)
  std::string samples;  // width * height * components bytes
};

struct OracleOptions {
  int quality = 75;
  bool force_baseline = false;
  // The resolution a reader took from the file; density_unit < 0 leaves the
  // library's default (aspect ratio 1:1).
  int density_unit = -1;
  int x_density = 1;
  int y_density = 1;
};

// The JPEG file the command writes for these pixels and options.
std::string CompressLikeCjpeg(const Pixels& pixels, const OracleOptions& options = {});

// Decodes `path` with Pillow into `components` samples per pixel (1: the
// picture must be grayscale, 3: converted to RGB). On failure `width` is 0
// and `samples` holds Pillow's complaint.
Pixels DecodeWithPillow(const std::string& path, int components);

// The quantization tables of a JPEG file by slot (natural row-major order),
// each empty when the file defines no table for that slot.
std::array<std::vector<int>, 4> ReadQuantTables(const std::string& jpeg);

// What an in-process cjpeg run returned and printed on the standard error.
struct CommandOutcome {
  int result;
  std::string err;
};
CommandOutcome RunCjpegCapturing(const std::vector<std::string>& args);

}  // namespace cjpegoracle
