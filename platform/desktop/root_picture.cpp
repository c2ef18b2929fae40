// Bitmap decoding, and the scaling that places a picture on each monitor.
#include "root_picture.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <thread>

#include "little_endian.h"

namespace layer {
namespace {

// More monitors than this draw one after another.
constexpr size_t kMostParallelMonitors = 8;


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

// Run-length data: pixels are written where the codes put them and the
// rest stay black. Writers code the padding of a row as pixels too, so what
// runs past a row's end is dropped; a move outside the picture, or a stream
// that ends early, ends the picture where it stands.
void DecodeRunLength(const Bitmap& bitmap, PixelArea out) {
  for (int y = 0; y < bitmap.height; ++y) std::fill_n(out.pixels + static_cast<size_t>(y) * out.stride, out.width, 0u);
  const unsigned char* code = bitmap.rows;
  const unsigned char* const end = bitmap.rows + bitmap.pixel_bytes;
  const bool nibbles = bitmap.coding == BitmapCoding::kRunLength4;
  int x = 0, row = 0;  // row counted from the bottom
  uint32_t* line = nullptr;
  auto put = [&](uint32_t index) {
    if (x < bitmap.width) line[x++] = bitmap.palette[index];
  };
  while (end - code >= 2 && row < bitmap.height) {
    line = out.pixels + static_cast<size_t>(bitmap.height - 1 - row) * out.stride;
    const int count = code[0], value = code[1];
    code += 2;
    if (count > 0) {  // a run of one index, or of two alternating
      for (int i = 0; i < count; ++i) put(nibbles ? (i % 2 == 0 ? value >> 4 : value & 0xf) : value);
    } else if (value == 0) {  // end of row
      x = 0, ++row;
    } else if (value == 1) {  // end of picture
      return;
    } else if (value == 2) {  // move right and up
      if (end - code < 2 || code[0] > bitmap.width - x || code[1] > bitmap.height - row) return;
      x += code[0], row += code[1];
      code += 2;
    } else {  // `value` indexes as they stand, padded to a 16-bit boundary
      const long bytes = nibbles ? (value + 1) / 2 : value;
      if (end - code < bytes) return;
      for (int i = 0; i < value; ++i) put(nibbles ? (i % 2 == 0 ? code[i / 2] >> 4 : code[i / 2] & 0xf) : code[i]);
      code += std::min<long>(bytes + bytes % 2, end - code);
    }
  }
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

bool ParseBitmap(std::span<const unsigned char> bytes, Bitmap* bitmap, std::string* why) {
  BitmapLayout layout;
  BitmapVerdict verdict = ReadBitmapHeader(bytes.data(), bytes.size(), bytes.size(), &layout);
  if (verdict != BitmapVerdict::kDrawable) {
    *why = BitmapRefusal(verdict);
    return false;
  }
  bitmap->palette.clear();
  for (uint32_t i = 0; i < layout.palette_count; ++i) {
    const unsigned char* entry = bytes.data() + layout.palette_offset + uint64_t{i} * layout.palette_entry;
    bitmap->palette.push_back(static_cast<uint32_t>(entry[2]) << 16 | static_cast<uint32_t>(entry[1]) << 8 | entry[0]);
  }
  if (layout.bits <= 8) bitmap->palette.resize(size_t{1} << layout.bits, 0);  // indexes past the map are black
  std::copy_n(layout.masks, 3, bitmap->masks);
  bitmap->width = static_cast<int>(layout.width);
  bitmap->height = static_cast<int>(layout.height);
  bitmap->coding = layout.coding;
  bitmap->rows = bytes.data() + layout.pixel_offset;
  bitmap->row_bytes = layout.row_bytes;
  bitmap->pixel_bytes = layout.pixel_bytes;
  bitmap->top_down = layout.top_down;
  bitmap->bits = layout.bits;
  return true;
}

void DecodeBitmap(const Bitmap& bitmap, PixelArea out) {
  if (bitmap.coding == BitmapCoding::kRunLength8 || bitmap.coding == BitmapCoding::kRunLength4) {
    DecodeRunLength(bitmap, out);
    return;
  }
  const Channel red(bitmap.masks[0]), green(bitmap.masks[1]), blue(bitmap.masks[2]);
  const bool plain_masks = bitmap.masks[0] == 0xff0000 && bitmap.masks[1] == 0xff00 && bitmap.masks[2] == 0xff;
  const int width = bitmap.width;
  for (int y = 0; y < bitmap.height; ++y) {
    const unsigned char* row =
        bitmap.rows + bitmap.row_bytes * static_cast<uint64_t>(bitmap.top_down ? y : bitmap.height - 1 - y);
    uint32_t* put = out.pixels + static_cast<size_t>(y) * out.stride;
    // What the decoder writes, and the whole-word layout: blue, green, red
    // in ascending bytes is 0x00RRGGBB once the fourth byte is masked off.
    // Four-byte loads stop one pixel short of a 24-bit row's end, which may
    // be the end of the file.
    if (bitmap.bits == 24 || (bitmap.bits == 32 && plain_masks)) {
      const size_t step = bitmap.bits / 8;
      const int whole_words = bitmap.bits == 32 ? width : width - 1;
      for (int x = 0; x < whole_words; ++x) {
        uint32_t word;
        std::memcpy(&word, row + step * static_cast<size_t>(x), 4);
        put[x] = word & 0xffffff;
      }
      if (whole_words < width) {
        const unsigned char* last = row + step * static_cast<size_t>(width - 1);
        put[width - 1] = static_cast<uint32_t>(last[2]) << 16 | static_cast<uint32_t>(last[1]) << 8 | last[0];
      }
      continue;
    }
    for (int x = 0; x < width; ++x) {
      if (bitmap.bits <= 8) {
        uint32_t per_byte = 8 / bitmap.bits;
        uint32_t byte = row[static_cast<uint32_t>(x) / per_byte];
        uint32_t index = (byte >> (8 - bitmap.bits * (1 + static_cast<uint32_t>(x) % per_byte))) & ((1u << bitmap.bits) - 1);
        put[x] = bitmap.palette[index];
      } else {
        uint32_t value = bitmap.bits == 16 ? Get16(row + 2 * x) : Get32(row + 4 * x);
        put[x] = red.Read(value) << 16 | green.Read(value) << 8 | blue.Read(value);
      }
    }
  }
}

namespace {

// Where each destination pixel samples the source: the whole pixel and the
// fraction towards the next in 1/256ths, pixel centres matched.
std::vector<std::pair<int, uint32_t>> SampleTable(double start, double span, int count, int limit) {
  std::vector<std::pair<int, uint32_t>> table(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    double at = std::clamp(start + (i + 0.5) * span / count - 0.5, 0.0, static_cast<double>(limit - 1));
    int whole = static_cast<int>(at);
    table[static_cast<size_t>(i)] = {whole, static_cast<uint32_t>((at - whole) * 256)};
  }
  return table;
}

// Red and blue blend together in one word, green in another.
inline uint32_t Mix(uint32_t a, uint32_t b, uint32_t f) {
  uint32_t rb = (((a & 0xff00ff) * (256 - f) + (b & 0xff00ff) * f) >> 8) & 0xff00ff;
  uint32_t g = (((a & 0x00ff00) * (256 - f) + (b & 0x00ff00) * f) >> 8) & 0x00ff00;
  return rb | g;
}

}  // namespace

const RootPicture& PictureSource::Pixels() {
  if (decoded.pixels.empty()) {
    decoded.width = bitmap.width;
    decoded.height = bitmap.height;
    decoded.pixels.resize(static_cast<size_t>(bitmap.width) * static_cast<size_t>(bitmap.height));
    DecodeBitmap(bitmap, {decoded.pixels.data(), decoded.width, decoded.height, static_cast<size_t>(decoded.width)});
  }
  return decoded;
}

namespace {

MonitorArea Overlap(MonitorArea a, MonitorArea b) {
  int x = std::max(a.x, b.x), y = std::max(a.y, b.y);
  int right = std::min(a.x + a.width, b.x + b.width), bottom = std::min(a.y + a.height, b.y + b.height);
  return {x, y, std::max(right - x, 0), std::max(bottom - y, 0)};
}

bool Inside(MonitorArea inner, MonitorArea outer) {
  return inner.x >= outer.x && inner.y >= outer.y && inner.x + inner.width <= outer.x + outer.width &&
         inner.y + inner.height <= outer.y + outer.height;
}

void Blacken(PixelArea root, int y, int first_x, int last_x) {
  if (first_x < last_x) std::fill_n(root.pixels + static_cast<size_t>(y) * root.stride + first_x, last_x - first_x, 0u);
}

// The part of `clip` the picture at `drawn` leaves uncovered goes black.
void BlackenAround(PixelArea root, MonitorArea clip, MonitorArea drawn) {
  MonitorArea covered = Overlap(clip, drawn);
  for (int y = clip.y; y < clip.y + clip.height; ++y) {
    if (y < covered.y || y >= covered.y + covered.height || covered.width == 0) {
      Blacken(root, y, clip.x, clip.x + clip.width);
    } else {
      Blacken(root, y, clip.x, covered.x);
      Blacken(root, y, covered.x + covered.width, clip.x + clip.width);
    }
  }
}

// The picture's pixels at `drawn` (its own size) where `clip` lets them be.
void CopyUnscaled(PictureSource& source, MonitorArea drawn, MonitorArea clip, PixelArea root) {
  MonitorArea visible = Overlap(drawn, clip);
  if (visible.width == 0 || visible.height == 0) return;
  if (Inside(drawn, clip)) {  // whole: no decoded copy needed
    DecodeBitmap(source.bitmap, {root.pixels + static_cast<size_t>(drawn.y) * root.stride + drawn.x, drawn.width,
                                 drawn.height, root.stride});
    return;
  }
  const RootPicture& picture = source.Pixels();
  for (int y = visible.y; y < visible.y + visible.height; ++y)
    std::copy_n(picture.pixels.data() + static_cast<size_t>(y - drawn.y) * static_cast<size_t>(picture.width) +
                    (visible.x - drawn.x),
                visible.width, root.pixels + static_cast<size_t>(y) * root.stride + visible.x);
}

// The picture's `crop` scaled bilinearly onto `drawn`, where `clip` lets it be.
void CopyScaled(PictureSource& source, CropArea crop, MonitorArea drawn, MonitorArea clip, PixelArea root) {
  MonitorArea visible = Overlap(drawn, clip);
  if (visible.width == 0 || visible.height == 0) return;
  const RootPicture& picture = source.Pixels();
  const size_t stride = static_cast<size_t>(picture.width);
  auto columns = SampleTable(crop.x, crop.width, drawn.width, picture.width);
  auto rows = SampleTable(crop.y, crop.height, drawn.height, picture.height);
  for (int y = visible.y; y < visible.y + visible.height; ++y) {
    auto [sy, fy] = rows[static_cast<size_t>(y - drawn.y)];
    const uint32_t* upper = picture.pixels.data() + static_cast<size_t>(sy) * stride;
    const uint32_t* lower = upper + (sy + 1 < picture.height ? stride : 0);
    uint32_t* out = root.pixels + static_cast<size_t>(y) * root.stride;
    for (int x = visible.x; x < visible.x + visible.width; ++x) {
      auto [sx, fx] = columns[static_cast<size_t>(x - drawn.x)];
      int next = sx + 1 < picture.width ? sx + 1 : sx;
      out[x] = Mix(Mix(upper[sx], upper[next], fx), Mix(lower[sx], lower[next], fx), fy);
    }
  }
}

// Copies of the picture side by side from the layout's top left.
void CopyTiled(PictureSource& source, MonitorArea layout, MonitorArea clip, PixelArea root) {
  const RootPicture& picture = source.Pixels();
  for (int y = clip.y; y < clip.y + clip.height; ++y) {
    const uint32_t* row =
        picture.pixels.data() + static_cast<size_t>((y - layout.y) % picture.height) * static_cast<size_t>(picture.width);
    uint32_t* out = root.pixels + static_cast<size_t>(y) * root.stride;
    for (int x = clip.x; x < clip.x + clip.width;) {
      int from = (x - layout.x) % picture.width;
      int count = std::min(picture.width - from, clip.x + clip.width - x);
      std::copy_n(row + from, count, out + x);
      x += count;
    }
  }
}

}  // namespace

void DrawFitted(PictureSource& source, MonitorArea layout, MonitorArea shown, WallpaperFit fit, PixelArea root) {
  MonitorArea clip = Overlap(Overlap(shown, layout), {0, 0, root.width, root.height});
  if (clip.width == 0 || clip.height == 0) return;
  const int width = source.bitmap.width, height = source.bitmap.height;
  if (fit == WallpaperFit::kTile) {
    CopyTiled(source, layout, clip, root);
    return;
  }
  // A layout of the picture's own size takes its rows as they are, whatever
  // the fit.
  if (fit == WallpaperFit::kCenter || (layout.width == width && layout.height == height)) {
    // Halves towards zero, so a larger picture loses as much on each side.
    MonitorArea drawn = {layout.x + (layout.width - width) / 2, layout.y + (layout.height - height) / 2, width, height};
    BlackenAround(root, clip, drawn);
    CopyUnscaled(source, drawn, clip, root);
    return;
  }
  CropArea crop = {0, 0, static_cast<double>(width), static_cast<double>(height)};
  MonitorArea drawn = layout;
  if (fit == WallpaperFit::kFit) {
    double scale = std::min(static_cast<double>(layout.width) / width, static_cast<double>(layout.height) / height);
    drawn.width = std::clamp(static_cast<int>(std::lround(width * scale)), 1, layout.width);
    drawn.height = std::clamp(static_cast<int>(std::lround(height * scale)), 1, layout.height);
    drawn.x += (layout.width - drawn.width) / 2;
    drawn.y += (layout.height - drawn.height) / 2;
    BlackenAround(root, clip, drawn);
  } else if (fit != WallpaperFit::kStretch) {
    crop = FillCrop(width, height, layout.width, layout.height);
  }
  CopyScaled(source, crop, drawn, clip, root);
}

void DrawMonitors(const Bitmap& bitmap, const std::vector<MonitorArea>& monitors, WallpaperFit fit, PixelArea root) {
  // One monitor over the whole root leaves nothing between monitors to blacken.
  bool one_screen = monitors.size() == 1 && monitors[0].x == 0 && monitors[0].y == 0 &&
                    monitors[0].width == root.width && monitors[0].height == root.height;
  if (!one_screen)
    for (int y = 0; y < root.height; ++y) Blacken(root, y, 0, root.width);
  MonitorArea bounds = {};  // of every monitor, for a spanned picture
  for (const MonitorArea& monitor : monitors) {
    if (monitor.width <= 0 || monitor.height <= 0) continue;
    if (bounds.width == 0) {
      bounds = monitor;
      continue;
    }
    int right = std::max(bounds.x + bounds.width, monitor.x + monitor.width);
    int bottom = std::max(bounds.y + bounds.height, monitor.y + monitor.height);
    bounds.x = std::min(bounds.x, monitor.x), bounds.y = std::min(bounds.y, monitor.y);
    bounds.width = right - bounds.x, bounds.height = bottom - bounds.y;
  }
  PictureSource source(bitmap);
  for (const MonitorArea& monitor : monitors) {
    if (monitor.width <= 0 || monitor.height <= 0) continue;
    DrawFitted(source, fit == WallpaperFit::kSpan ? bounds : monitor, monitor, fit, root);
  }
}

void DrawEach(const std::vector<MonitorBitmap>& pictures, WallpaperFit fit, PixelArea root) {
  if (fit == WallpaperFit::kKeep || fit == WallpaperFit::kSpan) fit = WallpaperFit::kFill;
  // Only what no picture covers needs blackening first; whatever a fit
  // leaves of its own monitor it blackens itself.
  for (int y = 0; y < root.height; ++y) {
    int x = 0;
    while (x < root.width) {
      int next = root.width;
      for (const MonitorBitmap& picture : pictures) {
        const MonitorArea& m = picture.monitor;
        if (y < m.y || y >= m.y + m.height || m.x + m.width <= x) continue;
        if (m.x <= x) {
          x = std::max(x, m.x + m.width);
          next = -1;
          break;
        }
        next = std::min(next, m.x);
      }
      if (next < 0) continue;
      Blacken(root, y, x, next);
      x = next;
    }
  }
  auto draw = [&pictures, fit, root](size_t i) {
    PictureSource source(*pictures[i].bitmap);
    DrawFitted(source, pictures[i].monitor, pictures[i].monitor, fit, root);
  };
  // Monitors that share no pixel draw in parallel, each into its own part
  // of the root; mirrored ones draw in turn, the later on top.
  bool apart = pictures.size() <= kMostParallelMonitors;
  for (size_t i = 0; apart && i < pictures.size(); ++i)
    for (size_t j = i + 1; apart && j < pictures.size(); ++j) {
      MonitorArea shared = Overlap(pictures[i].monitor, pictures[j].monitor);
      apart = shared.width == 0 || shared.height == 0;
    }
  if (!apart) {
    for (size_t i = 0; i < pictures.size(); ++i) draw(i);
    return;
  }
  std::vector<std::thread> helpers;
  for (size_t i = 1; i < pictures.size(); ++i) helpers.emplace_back(draw, i);
  if (!pictures.empty()) draw(0);
  for (std::thread& helper : helpers) helper.join();
}

}  // namespace layer
