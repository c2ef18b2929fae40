// The encoding converter's input readers and the entry points they serve.
#pragma once

#include <cstdio>

#include <jpeglib.h>

// One input format. The operations come first, in the manner of the
// library's own modules; a reader's private state follows in its own record.
struct PixelSource {
  // Reads the file header; sets image_width, image_height, input_components,
  // in_color_space and data_precision; picks ReadRows; allocates RowBuffer.
  void (*ReadHeader)(j_compress_ptr compressor, PixelSource* source);
  // Places the next row (top row first) in RowBuffer and returns 1.
  JDIMENSION (*ReadRows)(j_compress_ptr compressor, PixelSource* source);
  // Called once after the last row.
  void (*FinishReading)(j_compress_ptr compressor, PixelSource* source);

  std::FILE* InputFile;        // set by the command before ReadHeader
  JSAMPARRAY RowBuffer;        // the delivered row(s)
  JDIMENSION RowBufferHeight;  // always 1
};

// Reader constructors; each allocates its record from the JPOOL_IMAGE pool.
PixelSource* OpenBmpReader(j_compress_ptr compressor);
PixelSource* OpenGifReader(j_compress_ptr compressor);
PixelSource* OpenPpmReader(j_compress_ptr compressor);
PixelSource* OpenTargaReader(j_compress_ptr compressor);

// The encoding command: 0 done, 2 done with warnings, 1 failed.
int RunCjpeg(int argc, char** argv);
