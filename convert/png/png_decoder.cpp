// libpng does the decoding; its transformations bring every colour type and
// depth to 8-bit red-green-blue with or without alpha, and the rows go to
// the bitmap as they arrive. Only an interlaced picture is held whole, since
// its passes revisit every row.
#include "png_decoder.h"

#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include <png.h>

#include "picture_limits.h"
#include "picture_probe.h"
#include "rgb_bitmap.h"

namespace {

// Everything a run owns, so that a libpng error, which jumps straight back
// to DecodePngToBitmap, crosses no frame that owns anything.
struct PngRun {
  const char* input_path;
  std::FILE* input;
  std::FILE* output;
  png_structp png;
  png_infop info;
  unsigned char* samples;     // one row, or every row of an interlaced picture
  unsigned char** rows;       // the interlaced picture's row pointers
  unsigned char* bitmap_row;  // one row in the file's layout
  int warnings;
};

PngRun* RunOf(png_structp png) { return static_cast<PngRun*>(png_get_error_ptr(png)); }

[[noreturn]] void OnPngError(png_structp png, png_const_charp message) {
  std::fprintf(stderr, "%s: %s\n", RunOf(png)->input_path, message);
  png_longjmp(png, 1);
}

// Only the first warning is shown, as the JPEG converters do.
void OnPngWarning(png_structp png, png_const_charp message) {
  PngRun* run = RunOf(png);
  if (run->warnings++ == 0) std::fprintf(stderr, "%s: warning: %s\n", run->input_path, message);
}

int Fail(const PngRun* run, const char* reason) {
  std::fprintf(stderr, "%s: %s\n", run->input_path, reason);
  return 1;
}

int Decode(PngRun* run) {
  png_structp png = run->png;
  // libpng reads on to the first image data before it tells the size, so
  // the size is taken from the header bytes first.
  const PictureHeader header = ProbePicture(run->input);
  if (header.size_known && !PictureSizeAllowed(header.width, header.height)) {
    ReportPictureTooLarge(run->input_path, header.width, header.height);
    return 1;
  }
  std::rewind(run->input);
  png_init_io(png, run->input);
  png_read_info(png, run->info);
  const png_uint_32 width = png_get_image_width(png, run->info);
  const png_uint_32 height = png_get_image_height(png, run->info);

  // Palette to colour, small grays to 8 bits and tRNS to alpha; 16-bit
  // samples keep their high byte.
  png_set_expand(png);
  png_set_strip_16(png);
  png_set_gray_to_rgb(png);
  const int passes = png_set_interlace_handling(png);
  png_read_update_info(png, run->info);
  const int channels = png_get_channels(png, run->info);
  const std::size_t row_samples = png_get_rowbytes(png, run->info);

  RgbBitmap bitmap;
  if (!BeginRgbBitmap(&bitmap, run->output, width, height)) return Fail(run, "cannot write the bitmap");
  run->bitmap_row = static_cast<unsigned char*>(std::malloc(bitmap.row_bytes));
  const std::size_t held_rows = passes > 1 ? height : 1;
  run->samples = static_cast<unsigned char*>(std::malloc(row_samples * held_rows));
  if (run->bitmap_row == nullptr || run->samples == nullptr) return Fail(run, "out of memory");

  if (passes > 1) {
    run->rows = static_cast<unsigned char**>(std::malloc(sizeof(unsigned char*) * height));
    if (run->rows == nullptr) return Fail(run, "out of memory");
    for (png_uint_32 y = 0; y < height; ++y) run->rows[y] = run->samples + row_samples * y;
    png_read_image(png, run->rows);
  }
  for (png_uint_32 y = 0; y < height; ++y) {
    unsigned char* samples = run->samples;
    if (passes > 1) {
      samples = run->rows[y];
    } else {
      png_read_row(png, samples, nullptr);
    }
    ToBitmapRow(samples, channels, width, run->bitmap_row);
    PutBitmapRow(&bitmap, y, run->bitmap_row);
  }
  // The chunks after the last row are not read: a picture decoded whole is
  // shown even when its ending is damaged or missing.
  if (!EndRgbBitmap(&bitmap)) return Fail(run, "cannot write the bitmap");
  return run->warnings > 0 ? 2 : 0;
}

}  // namespace

int DecodePngToBitmap(const char* input_path, const char* output_path) {
  PngRun run{};
  run.input_path = input_path;
  run.input = std::fopen(input_path, "rb");
  if (run.input == nullptr) {
    std::fprintf(stderr, "png: can't open %s\n", input_path);
    return 1;
  }
  run.output = std::fopen(output_path, "wb");
  if (run.output == nullptr) {
    std::fprintf(stderr, "png: can't open %s\n", output_path);
    std::fclose(run.input);
    return 1;
  }
  int result = 1;
  run.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &run, OnPngError, OnPngWarning);
  if (run.png != nullptr) run.info = png_create_info_struct(run.png);
  if (run.info == nullptr) {
    Fail(&run, "out of memory");
  } else if (setjmp(png_jmpbuf(run.png)) == 0) {
    result = Decode(&run);
  }
  png_destroy_read_struct(run.png != nullptr ? &run.png : nullptr, run.info != nullptr ? &run.info : nullptr, nullptr);
  std::free(run.rows);
  std::free(run.samples);
  std::free(run.bitmap_row);
  std::fclose(run.input);
  if (std::fclose(run.output) != 0 && result != 1) result = Fail(&run, "cannot write the bitmap");
  return result;
}
