// The picture for a bare X11 root window: the stored bitmap read into
// memory, then cropped and scaled to fill each monitor.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace layer {

// Pixels as 0x00RRGGBB, row by row from the top.
struct RootPicture {
  int width = 0;
  int height = 0;
  std::vector<uint32_t> pixels;
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

// Reads an uncompressed Windows or OS/2 bitmap of 1, 4, 8, 16, 24 or 32
// bits. False with the reason otherwise.
bool ReadBitmapPicture(const char* path, RootPicture* picture, std::string* why);

// A picture of the root's size, each monitor filled with `source` (cropped
// to its shape, centred, scaled bilinearly); black where no monitor is.
RootPicture FillMonitors(const RootPicture& source, const std::vector<MonitorArea>& monitors, int root_width,
                         int root_height);

}  // namespace layer
