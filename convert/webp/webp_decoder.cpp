// libwebp decodes the whole picture into memory at once; the size is checked
// from the file's first bytes before the file is read whole or decoded.
#include "webp_decoder.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include <webp/decode.h>
#include <webp/demux.h>

#include "picture_limits.h"
#include "rgb_bitmap.h"

namespace {

// No picture the size limit lets through needs a larger file: lossless data
// stays well under four bytes a pixel. Only an animation's later frames can
// go beyond, and they are not shown.
constexpr long kLargestFile = static_cast<long>(kLargestPicturePixels * 4 + (1 << 20));

// Enough of the file to hold the headers that state the canvas size.
constexpr std::size_t kHeaderBytes = 64;

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

struct FreeDeleter {
  void operator()(void* block) const { std::free(block); }
};

struct DemuxDeleter {
  void operator()(WebPDemuxer* demuxer) const { WebPDemuxDelete(demuxer); }
};

int Fail(const char* input_path, const char* reason) {
  std::fprintf(stderr, "%s: %s\n", input_path, reason);
  return 1;
}

const char* StatusText(VP8StatusCode status) {
  switch (status) {
    case VP8_STATUS_OUT_OF_MEMORY: return "out of memory";
    case VP8_STATUS_UNSUPPORTED_FEATURE: return "a WebP feature this decoder does not support";
    case VP8_STATUS_NOT_ENOUGH_DATA: return "the WebP data is cut short";
    default: return "not a WebP picture, or a damaged one";
  }
}

// Where the decoded picture lies on the bitmap: a still fills it, an
// animation's first frame covers the part of the canvas it states. The rest
// of the canvas is transparent until the frame is drawn, so black.
struct Placement {
  int canvas_width;
  int canvas_height;
  int left;
  int top;
  int width;
  int height;
};

// The bitmap being written, with the rows the frame's samples go through.
struct Canvas {
  RgbBitmap bitmap;
  Placement place;
  std::unique_ptr<unsigned char[]> row;    // margins stay black; the frame's part is rewritten each row
  std::unique_ptr<unsigned char[]> blank;  // a row outside the frame
};

// Writes the headers and every row outside the frame.
bool BeginCanvas(Canvas* canvas, std::FILE* output, const Placement& place) {
  canvas->place = place;
  if (!BeginRgbBitmap(&canvas->bitmap, output, static_cast<std::uint32_t>(place.canvas_width),
                      static_cast<std::uint32_t>(place.canvas_height)))
    return false;
  // ToBitmapRow pads the frame's part to four bytes; a frame at the right
  // edge may pad up to three bytes beyond the canvas row.
  const std::size_t row_bytes = canvas->bitmap.row_bytes;
  canvas->row.reset(new unsigned char[row_bytes + 3]());
  canvas->blank.reset(new unsigned char[row_bytes]());
  for (int y = place.canvas_height - 1; y >= 0; --y) {
    if (y >= place.top && y < place.top + place.height) continue;
    PutBitmapRow(&canvas->bitmap, static_cast<std::uint32_t>(y), canvas->blank.get());
  }
  return true;
}

// Puts frame rows `first` to `first + rows - 1` (0 the frame's top) from
// `samples`, which hold row `first` at their start; bottom first, so the
// file is written forwards.
void PutFrameRows(Canvas* canvas, const std::uint8_t* samples, int channels, std::size_t stride, int first,
                  int rows) {
  const Placement& place = canvas->place;
  unsigned char* at = canvas->row.get() + std::size_t{3} * static_cast<std::size_t>(place.left);
  for (int y = rows - 1; y >= 0; --y) {
    ToBitmapRow(samples + stride * static_cast<std::size_t>(y), channels, static_cast<std::uint32_t>(place.width),
                at);
    PutBitmapRow(&canvas->bitmap, static_cast<std::uint32_t>(place.top + first + y), canvas->row.get());
  }
}

// An opaque picture is decoded to three bytes a pixel, not four: at the
// largest size allowed that is 64 MiB less held at once.
int DecodeWhole(const char* input_path, const WebPData& data, bool has_alpha, const Placement& place,
                std::FILE* output) {
  WebPDecoderConfig config;
  if (!WebPInitDecoderConfig(&config)) return Fail(input_path, "the WebP library does not match");
  config.output.colorspace = has_alpha ? MODE_RGBA : MODE_RGB;
  VP8StatusCode status = WebPDecode(data.bytes, data.size, &config);
  if (status == VP8_STATUS_OK && (config.output.width != place.width || config.output.height != place.height))
    status = VP8_STATUS_BITSTREAM_ERROR;
  if (status != VP8_STATUS_OK) {
    WebPFreeDecBuffer(&config.output);
    return Fail(input_path, StatusText(status));
  }
  Canvas canvas;
  const bool begun = BeginCanvas(&canvas, output, place);
  if (begun) {
    const WebPRGBABuffer& rgba = config.output.u.RGBA;
    PutFrameRows(&canvas, rgba.rgba, has_alpha ? 4 : 3, static_cast<std::size_t>(rgba.stride), 0, place.height);
  }
  WebPFreeDecBuffer(&config.output);
  return begun && EndRgbBitmap(&canvas.bitmap) ? 0 : Fail(input_path, "cannot write the bitmap");
}

// A picture with alpha needs four bytes a pixel until it is composited; one
// too large for `band_bytes` is decoded a band of rows at a time, each band
// cropped out of a fresh decode. The rows above a band are decoded again each
// time, which costs time, not memory. Bands start on even rows, as the
// library's cropping wants.
int DecodeInBands(const char* input_path, const WebPData& data, const Placement& place, std::size_t band_bytes,
                  std::FILE* output) {
  const int width = place.width, height = place.height;
  const std::size_t row_bytes = std::size_t{4} * static_cast<std::size_t>(width);
  const int band_rows = static_cast<int>(std::max<std::size_t>(2, band_bytes / row_bytes) & ~std::size_t{1});
  Canvas canvas;
  if (!BeginCanvas(&canvas, output, place)) return Fail(input_path, "cannot write the bitmap");
  for (int top = 0; top < height; top += band_rows) {
    const int rows = std::min(band_rows, height - top);
    WebPDecoderConfig config;
    if (!WebPInitDecoderConfig(&config)) return Fail(input_path, "the WebP library does not match");
    config.output.colorspace = MODE_RGBA;
    config.options.use_cropping = 1;
    config.options.crop_left = 0;
    // Two rows more above and below the band: a lossy picture's colours are
    // smoothed across rows, and a crop that ended at the band's edge would
    // smooth its edge rows against themselves.
    const int above = top == 0 ? 0 : 2;
    const int below = top + rows == height ? 0 : std::min(2, height - top - rows);
    config.options.crop_top = top - above;
    config.options.crop_width = width;
    config.options.crop_height = rows + above + below;
    VP8StatusCode status = WebPDecode(data.bytes, data.size, &config);
    const WebPRGBABuffer& rgba = config.output.u.RGBA;
    if (status != VP8_STATUS_OK || config.output.width != width || config.output.height != rows + above + below) {
      WebPFreeDecBuffer(&config.output);
      return Fail(input_path, StatusText(status == VP8_STATUS_OK ? VP8_STATUS_BITSTREAM_ERROR : status));
    }
    const std::size_t stride = static_cast<std::size_t>(rgba.stride);
    PutFrameRows(&canvas, rgba.rgba + stride * static_cast<std::size_t>(above), 4, stride, top, rows);
    WebPFreeDecBuffer(&config.output);
  }
  return EndRgbBitmap(&canvas.bitmap) ? 0 : Fail(input_path, "cannot write the bitmap");
}

// One picture's data, a still or a frame, whole when it is opaque or small
// enough, else in bands.
int DecodePicture(const char* input_path, const WebPData& data, const Placement& place, std::size_t band_bytes,
                  std::FILE* output) {
  WebPBitstreamFeatures features;
  const VP8StatusCode status = WebPGetFeatures(data.bytes, data.size, &features);
  if (status != VP8_STATUS_OK) return Fail(input_path, StatusText(status));
  if (features.width != place.width || features.height != place.height)
    return Fail(input_path, StatusText(VP8_STATUS_BITSTREAM_ERROR));
  const bool whole = !features.has_alpha || std::uint64_t{4} * static_cast<std::uint64_t>(place.width) *
                                                    static_cast<std::uint64_t>(place.height) <= band_bytes;
  return whole ? DecodeWhole(input_path, data, features.has_alpha != 0, place, output)
               : DecodeInBands(input_path, data, place, band_bytes, output);
}

// The first frame alone, taken out of the animation: the library's animation
// decoder would keep two canvases of four bytes a pixel, twice the chain's
// memory bound at the largest size allowed. The first frame is drawn onto a
// cleared canvas, so neither its blending nor its disposal changes what it
// shows, and the background colour is a hint the animation decoder ignores
// as well.
int DecodeFirstFrame(const char* input_path, const WebPData& data, int canvas_width, int canvas_height,
                     std::size_t band_bytes, std::FILE* output) {
  std::unique_ptr<WebPDemuxer, DemuxDeleter> demuxer(WebPDemux(&data));
  if (demuxer == nullptr || static_cast<int>(WebPDemuxGetI(demuxer.get(), WEBP_FF_CANVAS_WIDTH)) != canvas_width ||
      static_cast<int>(WebPDemuxGetI(demuxer.get(), WEBP_FF_CANVAS_HEIGHT)) != canvas_height)
    return Fail(input_path, "a damaged WebP animation");
  WebPIterator frame;
  if (!WebPDemuxGetFrame(demuxer.get(), 1, &frame)) return Fail(input_path, "a damaged WebP animation");
  const Placement place{canvas_width, canvas_height, frame.x_offset, frame.y_offset, frame.width, frame.height};
  const WebPData fragment = frame.fragment;
  WebPDemuxReleaseIterator(&frame);
  // The demultiplexer refuses frames outside the canvas; the rows written
  // depend on it, so it is not taken on trust.
  if (place.left < 0 || place.top < 0 || place.width <= 0 || place.height <= 0 ||
      place.width > canvas_width - place.left || place.height > canvas_height - place.top)
    return Fail(input_path, "a damaged WebP animation");
  return DecodePicture(input_path, fragment, place, band_bytes, output);
}

}  // namespace

int DecodeWebpToBitmapInBands(const char* input_path, const char* output_path, std::size_t band_bytes) {
  File input(std::fopen(input_path, "rb"));
  if (input == nullptr) {
    std::fprintf(stderr, "webp: can't open %s\n", input_path);
    return 1;
  }
  std::uint8_t header[kHeaderBytes];
  const std::size_t header_size = std::fread(header, 1, sizeof header, input.get());
  WebPBitstreamFeatures features;
  VP8StatusCode status = WebPGetFeatures(header, header_size, &features);
  if (status != VP8_STATUS_OK) return Fail(input_path, StatusText(status));
  if (!PictureSizeAllowed(static_cast<std::uint64_t>(features.width), static_cast<std::uint64_t>(features.height))) {
    ReportPictureTooLarge(input_path, static_cast<std::uint64_t>(features.width),
                          static_cast<std::uint64_t>(features.height));
    return 1;
  }

  if (std::fseek(input.get(), 0, SEEK_END) != 0) return Fail(input_path, "cannot read the file");
  const long file_size = std::ftell(input.get());
  if (file_size < 0 || std::fseek(input.get(), 0, SEEK_SET) != 0) return Fail(input_path, "cannot read the file");
  if (file_size > kLargestFile) return Fail(input_path, "the file is too large for a WebP picture of its size");
  std::unique_ptr<std::uint8_t, FreeDeleter> bytes(static_cast<std::uint8_t*>(std::malloc(file_size + 1)));
  if (bytes == nullptr) return Fail(input_path, "out of memory");
  const std::size_t size = std::fread(bytes.get(), 1, static_cast<std::size_t>(file_size), input.get());
  input.reset();

  File output(std::fopen(output_path, "wb"));
  if (output == nullptr) {
    std::fprintf(stderr, "webp: can't open %s\n", output_path);
    return 1;
  }
  const WebPData data{bytes.get(), size};
  int result = features.has_animation
                   ? DecodeFirstFrame(input_path, data, features.width, features.height, band_bytes, output.get())
                   : DecodePicture(input_path, data, {features.width, features.height, 0, 0, features.width,
                                                      features.height}, band_bytes, output.get());
  if (std::fclose(output.release()) != 0 && result == 0) result = Fail(input_path, "cannot write the bitmap");
  return result;
}

int DecodeWebpToBitmap(const char* input_path, const char* output_path) {
  return DecodeWebpToBitmapInBands(input_path, output_path, kWebpBandBytes);
}
