// The picture for a bare X11 root window: the stored bitmap's rows, cropped
// and scaled to fill each monitor, written straight into the image that
// goes to the server.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "bitmap_header.h"

namespace layer {

// Pixels as 0x00RRGGBB, row by row from the top.
struct RootPicture {
  int width = 0;
  int height = 0;
  std::vector<uint32_t> pixels;
};

// Pixels as 0x00RRGGBB owned elsewhere (an image bound for the server),
// rows `stride` pixels apart.
struct PixelArea {
  uint32_t* pixels;
  int width, height;
  size_t stride;
};

struct MonitorArea {
  int x, y, width, height;
};

// The part of a picture that fills an area of another shape: the largest
// centred rectangle of the area's aspect ratio, in picture pixels.
struct CropArea {
  double x, y, width, height;
};
CropArea FillCrop(int picture_width, int picture_height, int area_width, int area_height);

// A Windows or OS/2 bitmap the wallpaper call takes, checked and ready to
// decode from the bytes that hold it (which must stay).
struct Bitmap {
  int width = 0;
  int height = 0;
  BitmapCoding coding = BitmapCoding::kRows;
  const unsigned char* rows = nullptr;  // as stored: bottom first unless top_down
  uint64_t row_bytes = 0;
  uint64_t pixel_bytes = 0;  // of a run-length stream, all within the file
  bool top_down = false;
  uint32_t bits = 0;
  uint32_t masks[3] = {};
  std::vector<uint32_t> palette;  // every index the depth allows
};

// False with the reason when the bytes hold no bitmap that can be drawn.
bool ParseBitmap(std::span<const unsigned char> bytes, Bitmap* bitmap, std::string* why);

// Writes the bitmap's pixels into `out` (its width and height).
void DecodeBitmap(const Bitmap& bitmap, PixelArea out);

// Fills `root` (whatever it held) with the bitmap on each monitor, cropped
// to the monitor's shape, centred, scaled bilinearly; black where no
// monitor is. A monitor of the picture's own size gets its rows unscaled.
void FillMonitors(const Bitmap& bitmap, const std::vector<MonitorArea>& monitors, PixelArea root);

}  // namespace layer
