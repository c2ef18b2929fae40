// The picture for a bare X11 root window: the stored bitmap's rows, placed
// on each monitor by the fit the user chose, written straight into the
// image that goes to the server.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "bitmap_header.h"
#include "desktop_setter.h"

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

// A bitmap decoded once for the layouts that need its pixels in memory;
// one whose pixels go straight into the root never is.
struct PictureSource {
  const Bitmap& bitmap;
  RootPicture decoded;  // empty until first needed
  explicit PictureSource(const Bitmap& b) : bitmap(b) {}
  const RootPicture& Pixels();
};

// Draws the picture laid out over `layout` by `fit` into the part of it
// that `shown` covers (a monitor; for a spanned picture `layout` is the
// monitors' bounding box), clipped to the root. What the picture leaves of
// `shown` is black. A picture that lands unscaled and whole on the root is
// decoded straight into it.
void DrawFitted(PictureSource& source, MonitorArea layout, MonitorArea shown, WallpaperFit fit, PixelArea root);

// Fills `root` (whatever it held) with the bitmap placed on each monitor by
// `fit`, scaled bilinearly where the fit scales; black where no monitor is.
// Without a fit the picture fills each monitor.
void DrawMonitors(const Bitmap& bitmap, const std::vector<MonitorArea>& monitors, WallpaperFit fit, PixelArea root);

// A bitmap for one monitor.
struct MonitorBitmap {
  const Bitmap* bitmap;
  MonitorArea monitor;
};

// Fills `root` (whatever it held) with each bitmap placed on its own
// monitor by `fit`; black where no picture is. A span, or no fit, fills
// each monitor, since every monitor has a picture of its own.
void DrawEach(const std::vector<MonitorBitmap>& pictures, WallpaperFit fit, PixelArea root);

}  // namespace layer
