// The decoding converter's output writers and the entry points they serve.
#pragma once

#include <cstdio>

#include <jpeglib.h>

// One output format. The operations come first, in the manner of the
// library's own modules; a writer's private state follows in its own record.
struct ImageWriter {
  // Called once after jpeg_start_decompress, when size and colour map are final.
  void (*BeginImage)(j_decompress_ptr decompressor, ImageWriter* writer);
  // Called after each jpeg_read_scanlines with the rows it returned (always 1).
  void (*WriteRows)(j_decompress_ptr decompressor, ImageWriter* writer, JDIMENSION rows_supplied);
  // Called once after the last row, before jpeg_finish_decompress.
  void (*EndImage)(j_decompress_ptr decompressor, ImageWriter* writer);

  std::FILE* OutputFile;       // set by the command before BeginImage
  JSAMPARRAY RowBuffer;        // jpeg_read_scanlines decodes into it
  JDIMENSION RowBufferHeight;  // rows in RowBuffer; 1 for every writer
};

// Writer constructors. Each may adjust decompression parameters, then calls
// jpeg_calc_output_dimensions and allocates from the JPOOL_IMAGE pool.
ImageWriter* CreateBmpWriter(j_decompress_ptr decompressor, boolean is_os2);
ImageWriter* CreateGifWriter(j_decompress_ptr decompressor);
ImageWriter* CreatePpmWriter(j_decompress_ptr decompressor);
ImageWriter* CreateTargaWriter(j_decompress_ptr decompressor);

// Reads a GIF or PPM colour map file into the decompressor's colormap.
void LoadColourMapFile(j_decompress_ptr decompressor, std::FILE* file);

// The decoding command: 0 done, 2 done with warnings, 1 failed.
int RunDjpeg(int argc, char** argv);
