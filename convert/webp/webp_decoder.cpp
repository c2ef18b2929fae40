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

struct AnimDecoderDeleter {
  void operator()(WebPAnimDecoder* decoder) const { WebPAnimDecoderDelete(decoder); }
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

// Writes rows bottom first, the file's own order; `channels` 3 for RGB
// samples, 4 for RGBA.
bool WriteBitmap(std::FILE* output, const std::uint8_t* samples, int channels, std::size_t stride, int width,
                 int height) {
  RgbBitmap bitmap;
  if (!BeginRgbBitmap(&bitmap, output, static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height)))
    return false;
  std::unique_ptr<unsigned char[]> row(new unsigned char[bitmap.row_bytes]);
  for (int y = height - 1; y >= 0; --y) {
    ToBitmapRow(samples + stride * static_cast<std::size_t>(y), channels, bitmap.width, row.get());
    PutBitmapRow(&bitmap, static_cast<std::uint32_t>(y), row.get());
  }
  return EndRgbBitmap(&bitmap);
}

// The first frame, composited onto the canvas as the animation shows it.
int DecodeFirstFrame(const char* input_path, const WebPData& data, std::FILE* output) {
  WebPAnimDecoderOptions options;
  if (!WebPAnimDecoderOptionsInit(&options)) return Fail(input_path, "the WebP library does not match");
  options.color_mode = MODE_RGBA;
  options.use_threads = 0;
  std::unique_ptr<WebPAnimDecoder, AnimDecoderDeleter> decoder(WebPAnimDecoderNew(&data, &options));
  WebPAnimInfo info;
  if (decoder == nullptr || !WebPAnimDecoderGetInfo(decoder.get(), &info))
    return Fail(input_path, "a damaged WebP animation");
  std::uint8_t* canvas = nullptr;
  int timestamp = 0;
  if (!WebPAnimDecoderGetNext(decoder.get(), &canvas, &timestamp))
    return Fail(input_path, "a damaged WebP animation");
  const int width = static_cast<int>(info.canvas_width), height = static_cast<int>(info.canvas_height);
  if (!WriteBitmap(output, canvas, 4, std::size_t{info.canvas_width} * 4, width, height))
    return Fail(input_path, "cannot write the bitmap");
  return 0;
}

// An opaque picture is decoded to three bytes a pixel, not four: at the
// largest size allowed that is 64 MiB less held at once.
int DecodeStill(const char* input_path, const WebPData& data, bool has_alpha, std::FILE* output) {
  WebPDecoderConfig config;
  if (!WebPInitDecoderConfig(&config)) return Fail(input_path, "the WebP library does not match");
  config.output.colorspace = has_alpha ? MODE_RGBA : MODE_RGB;
  VP8StatusCode status = WebPDecode(data.bytes, data.size, &config);
  if (status != VP8_STATUS_OK) {
    WebPFreeDecBuffer(&config.output);
    return Fail(input_path, StatusText(status));
  }
  const WebPRGBABuffer& rgba = config.output.u.RGBA;
  bool written = WriteBitmap(output, rgba.rgba, has_alpha ? 4 : 3, static_cast<std::size_t>(rgba.stride),
                             config.output.width, config.output.height);
  WebPFreeDecBuffer(&config.output);
  return written ? 0 : Fail(input_path, "cannot write the bitmap");
}

// A picture with alpha needs four bytes a pixel until it is composited; one
// too large for `band_bytes` is decoded a band of rows at a time, each band
// cropped out of a fresh decode. The rows above a band are decoded again each
// time, which costs time, not memory. Bands start on even rows, as the
// library's cropping wants.
int DecodeStillInBands(const char* input_path, const WebPData& data, int width, int height, std::size_t band_bytes,
                       std::FILE* output) {
  const std::size_t row_bytes = std::size_t{4} * static_cast<std::size_t>(width);
  const int band_rows = static_cast<int>(std::max<std::size_t>(2, band_bytes / row_bytes) & ~std::size_t{1});
  RgbBitmap bitmap;
  if (!BeginRgbBitmap(&bitmap, output, static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height)))
    return Fail(input_path, "cannot write the bitmap");
  std::unique_ptr<unsigned char[]> row(new unsigned char[bitmap.row_bytes]);
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
    // Bottom first within the band, so the file is written forwards.
    for (int y = rows - 1; y >= 0; --y) {
      ToBitmapRow(rgba.rgba + static_cast<std::size_t>(rgba.stride) * static_cast<std::size_t>(y + above), 4,
                  bitmap.width, row.get());
      PutBitmapRow(&bitmap, static_cast<std::uint32_t>(top + y), row.get());
    }
    WebPFreeDecBuffer(&config.output);
  }
  return EndRgbBitmap(&bitmap) ? 0 : Fail(input_path, "cannot write the bitmap");
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
  const bool whole = !features.has_alpha ||
                     std::uint64_t{4} * static_cast<std::uint64_t>(features.width) *
                             static_cast<std::uint64_t>(features.height) <= band_bytes;
  int result = features.has_animation ? DecodeFirstFrame(input_path, data, output.get())
               : whole ? DecodeStill(input_path, data, features.has_alpha != 0, output.get())
                       : DecodeStillInBands(input_path, data, features.width, features.height, band_bytes, output.get());
  if (std::fclose(output.release()) != 0 && result == 0) result = Fail(input_path, "cannot write the bitmap");
  return result;
}

int DecodeWebpToBitmap(const char* input_path, const char* output_path) {
  return DecodeWebpToBitmapInBands(input_path, output_path, kWebpBandBytes);
}
