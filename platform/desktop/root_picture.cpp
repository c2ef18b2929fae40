// Bitmap reading and fill scaling for the root window's picture.
#include "root_picture.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <memory>

namespace layer {
namespace {

// More pixels than any screen needs; keeps a hostile header from asking
// for gigabytes.
constexpr uint64_t kMostPixels = uint64_t{1} << 26;

uint32_t Le16(const unsigned char* p) { return static_cast<uint32_t>(p[0] | p[1] << 8); }
uint32_t Le32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

// One colour channel under a mask, widened to eight bits.
struct Channel {
  uint32_t mask = 0;
  int shift = 0;
  uint32_t top = 1;
  explicit Channel(uint32_t m) : mask(m) {
    if (m == 0) return;
    shift = std::countr_zero(m);
    top = (m >> shift) == 0xffffffffu ? 0xffffffffu : (m >> shift);
  }
  uint32_t Read(uint32_t value) const {
    return mask == 0 ? 0 : static_cast<uint32_t>((static_cast<uint64_t>((value & mask) >> shift) * 255 + top / 2) / top);
  }
};

struct FileCloser {
  void operator()(FILE* file) const { std::fclose(file); }
};

bool Refuse(std::string* why, const char* reason) {
  *why = reason;
  return false;
}

}  // namespace

CropArea FillCrop(int picture_width, int picture_height, int area_width, int area_height) {
  double pw = picture_width, ph = picture_height;
  if (static_cast<int64_t>(picture_width) * area_height > static_cast<int64_t>(picture_height) * area_width) {
    double width = ph * area_width / area_height;  // the picture is wider: its sides go
    return {(pw - width) / 2, 0, width, ph};
  }
  double height = pw * area_height / area_width;
  return {0, (ph - height) / 2, pw, height};
}

bool ReadBitmapPicture(const char* path, RootPicture* picture, std::string* why) {
  std::unique_ptr<FILE, FileCloser> file(std::fopen(path, "rb"));
  if (file == nullptr) return Refuse(why, "the stored picture cannot be read");
  std::vector<unsigned char> bytes;
  if (std::fseek(file.get(), 0, SEEK_END) != 0) return Refuse(why, "the stored picture cannot be read");
  long size = std::ftell(file.get());
  if (size < 0 || static_cast<uint64_t>(size) > kMostPixels * 4 + (1 << 20)) return Refuse(why, "the stored picture is too large");
  bytes.resize(static_cast<size_t>(size));
  std::rewind(file.get());
  if (std::fread(bytes.data(), 1, bytes.size(), file.get()) != bytes.size()) return Refuse(why, "the stored picture cannot be read");
  if (bytes.size() < 26 || bytes[0] != 'B' || bytes[1] != 'M') return Refuse(why, "the stored picture is no bitmap");
  const unsigned char* data = bytes.data();
  uint32_t pixel_offset = Le32(data + 10);
  uint32_t info_size = Le32(data + 14);
  int64_t width, height;
  uint32_t bits, compression = 0, colours_used = 0, palette_entry = 4;
  if (info_size == 12) {
    width = Le16(data + 18);
    height = Le16(data + 20);
    bits = Le16(data + 24);
    palette_entry = 3;
  } else {
    if (info_size < 40 || bytes.size() < 14 + static_cast<uint64_t>(info_size)) return Refuse(why, "the stored picture's header is cut short");
    width = static_cast<int32_t>(Le32(data + 18));
    height = static_cast<int32_t>(Le32(data + 22));
    bits = Le16(data + 28);
    compression = Le32(data + 30);
    colours_used = Le32(data + 46);
  }
  bool top_down = height < 0;
  if (top_down) height = -height;
  if (width <= 0 || height <= 0 || static_cast<uint64_t>(width) * static_cast<uint64_t>(height) > kMostPixels)
    return Refuse(why, "the stored picture's size is out of range");
  if (compression != 0 && compression != 3) return Refuse(why, "run-length coded bitmaps cannot be drawn on the root window");

  // Colour masks: given after a 40-byte header, inside a longer one.
  uint32_t masks[3] = {0, 0, 0};
  if (compression == 3) {
    if (bytes.size() < 14u + 40 + 12) return Refuse(why, "the stored picture's colour masks are missing");
    for (int i = 0; i < 3; ++i) masks[i] = Le32(data + 14 + 40 + 4 * i);
  } else if (bits == 16) {
    masks[0] = 0x7c00, masks[1] = 0x03e0, masks[2] = 0x001f;
  } else {
    masks[0] = 0xff0000, masks[1] = 0x00ff00, masks[2] = 0x0000ff;
  }
  const Channel red(masks[0]), green(masks[1]), blue(masks[2]);

  std::vector<uint32_t> palette;
  if (bits <= 8) {
    uint64_t count = colours_used != 0 && colours_used < (1u << bits) ? colours_used : 1u << bits;
    uint64_t start = 14 + static_cast<uint64_t>(info_size) + (compression == 3 && info_size == 40 ? 12 : 0);
    for (uint64_t i = 0; i < count && start + (i + 1) * palette_entry <= bytes.size(); ++i) {
      const unsigned char* entry = data + start + i * palette_entry;
      palette.push_back(static_cast<uint32_t>(entry[2]) << 16 | static_cast<uint32_t>(entry[1]) << 8 | entry[0]);
    }
    palette.resize(1u << bits, 0);  // indexes past the map are black
  }
  uint64_t row_bytes = (static_cast<uint64_t>(width) * bits + 31) / 32 * 4;
  if (pixel_offset > bytes.size() || row_bytes * static_cast<uint64_t>(height) > bytes.size() - pixel_offset)
    return Refuse(why, "the stored picture is cut short");

  picture->width = static_cast<int>(width);
  picture->height = static_cast<int>(height);
  picture->pixels.assign(static_cast<size_t>(width * height), 0);
  for (int64_t y = 0; y < height; ++y) {
    const unsigned char* row = data + pixel_offset + row_bytes * static_cast<uint64_t>(top_down ? y : height - 1 - y);
    uint32_t* out = picture->pixels.data() + y * width;
    if (bits == 24) {  // what the decoder writes: worth a loop of its own
      for (int64_t x = 0; x < width; ++x, row += 3)
        out[x] = static_cast<uint32_t>(row[2]) << 16 | static_cast<uint32_t>(row[1]) << 8 | row[0];
      continue;
    }
    for (int64_t x = 0; x < width; ++x) {
      switch (bits) {
        case 1:
        case 4:
        case 8: {
          uint32_t per_byte = 8 / bits;
          uint32_t byte = row[x / per_byte];
          uint32_t index = (byte >> (8 - bits * (1 + x % per_byte))) & ((1u << bits) - 1);
          out[x] = palette[index];
          break;
        }
        case 16:
        case 32: {
          uint32_t value = bits == 16 ? Le16(row + 2 * x) : Le32(row + 4 * x);
          out[x] = red.Read(value) << 16 | green.Read(value) << 8 | blue.Read(value);
          break;
        }
        default:
          return Refuse(why, "the stored picture has a pixel depth no bitmap has");
      }
    }
  }
  return true;
}

RootPicture FillMonitors(const RootPicture& source, const std::vector<MonitorArea>& monitors, int root_width,
                         int root_height) {
  RootPicture root;
  root.width = root_width;
  root.height = root_height;
  root.pixels.assign(static_cast<size_t>(root_width) * static_cast<size_t>(root_height), 0);
  if (source.width <= 0 || source.height <= 0) return root;
  for (const MonitorArea& monitor : monitors) {
    if (monitor.width <= 0 || monitor.height <= 0) continue;
    int first_x = std::max(monitor.x, 0), last_x = std::min(monitor.x + monitor.width, root_width);
    int first_y = std::max(monitor.y, 0), last_y = std::min(monitor.y + monitor.height, root_height);
    if (first_x >= last_x) continue;
    if (monitor.width == source.width && monitor.height == source.height) {  // a picture made for the monitor
      for (int y = first_y; y < last_y; ++y)
        std::copy_n(source.pixels.data() + static_cast<size_t>(y - monitor.y) * static_cast<size_t>(source.width) +
                        (first_x - monitor.x),
                    last_x - first_x, root.pixels.data() + static_cast<size_t>(y) * static_cast<size_t>(root_width) + first_x);
      continue;
    }
    CropArea crop = FillCrop(source.width, source.height, monitor.width, monitor.height);
    // Sample positions in 16.16 fixed point, pixel centres matched.
    auto sample_table = [](double start, double span, int count, int limit) {
      std::vector<std::pair<int, uint32_t>> table(static_cast<size_t>(count));
      for (int i = 0; i < count; ++i) {
        double at = std::clamp(start + (i + 0.5) * span / count - 0.5, 0.0, static_cast<double>(limit - 1));
        int whole = static_cast<int>(at);
        table[static_cast<size_t>(i)] = {whole, static_cast<uint32_t>((at - whole) * 256)};
      }
      return table;
    };
    auto columns = sample_table(crop.x, crop.width, monitor.width, source.width);
    auto rows = sample_table(crop.y, crop.height, monitor.height, source.height);
    for (int y = first_y; y < last_y; ++y) {
      auto [sy, fy] = rows[static_cast<size_t>(y - monitor.y)];
      const uint32_t* upper = source.pixels.data() + static_cast<size_t>(sy) * static_cast<size_t>(source.width);
      const uint32_t* lower = upper + (sy + 1 < source.height ? source.width : 0);
      uint32_t* out = root.pixels.data() + static_cast<size_t>(y) * static_cast<size_t>(root_width);
      for (int x = first_x; x < last_x; ++x) {
        auto [sx, fx] = columns[static_cast<size_t>(x - monitor.x)];
        int next = sx + 1 < source.width ? sx + 1 : sx;
        // Red and blue blend together in one word, green in another.
        auto mix = [](uint32_t a, uint32_t b, uint32_t f) {
          uint32_t rb = (((a & 0xff00ff) * (256 - f) + (b & 0xff00ff) * f) >> 8) & 0xff00ff;
          uint32_t g = (((a & 0x00ff00) * (256 - f) + (b & 0x00ff00) * f) >> 8) & 0x00ff00;
          return rb | g;
        };
        out[x] = mix(mix(upper[sx], upper[next], fx), mix(lower[sx], lower[next], fx), fy);
      }
    }
  }
  return root;
}

}  // namespace layer
