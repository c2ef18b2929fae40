// Tiny pictures that claim to be huge: a header and almost no data. Shared
// by the converter tests, the whole-program tests and the bomb benchmark.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <jpeglib.h>

namespace bombs {

inline void Put8(std::string& bytes, unsigned value) { bytes.push_back(static_cast<char>(value)); }
inline void Put16(std::string& bytes, unsigned value) {
  Put8(bytes, value & 0xFF);
  Put8(bytes, (value >> 8) & 0xFF);
}
inline void Put32(std::string& bytes, std::uint32_t value) {
  Put16(bytes, value & 0xFFFF);
  Put16(bytes, value >> 16);
}

// A GIF whose image data end at once (a clear code, then the end of data).
inline std::string Gif(unsigned width, unsigned height, bool interlaced) {
  std::string gif = "GIF89a";
  Put16(gif, width);
  Put16(gif, height);
  Put8(gif, 0x80);  // a global table of 2 entries
  Put8(gif, 0);
  Put8(gif, 0);
  gif += std::string("\x10\x20\x30\xF0\xE0\xD0", 6);
  gif += ',';
  Put16(gif, 0);
  Put16(gif, 0);
  Put16(gif, width);
  Put16(gif, height);
  Put8(gif, interlaced ? 0x40 : 0);
  Put8(gif, 2);  // code size
  gif += std::string("\x01\x04\x00", 3);  // one block: the clear code; then the terminator
  gif += ';';
  return gif;
}

// An uncompressed 24-bit Targa header and nothing else.
inline std::string Targa(unsigned width, unsigned height, bool top_down) {
  std::string tga(12, '\0');
  tga[2] = 2;  // true colour
  Put16(tga, width);
  Put16(tga, height);
  Put8(tga, 24);
  Put8(tga, top_down ? 0x20 : 0);
  return tga;
}

// A 24-bit bottom-up BMP header and nothing else.
inline std::string Bmp(std::int32_t width, std::int32_t height) {
  std::string bmp = "BM";
  Put32(bmp, 0);
  Put32(bmp, 0);
  Put32(bmp, 54);
  Put32(bmp, 40);
  Put32(bmp, static_cast<std::uint32_t>(width));
  Put32(bmp, static_cast<std::uint32_t>(height));
  Put16(bmp, 1);
  Put16(bmp, 24);
  bmp += std::string(24, '\0');
  return bmp;
}

// A binary PPM header and nothing else.
inline std::string Ppm(unsigned width, unsigned height) {
  return "P6\n" + std::to_string(width) + " " + std::to_string(height) + "\n255\n";
}

// A small real JPEG whose frame header is then made to claim width x height,
// so the decoder runs out of data almost at once.
inline std::string Jpeg(unsigned width, unsigned height) {
  jpeg_compress_struct compressor;
  jpeg_error_mgr errors;
  compressor.err = jpeg_std_error(&errors);
  jpeg_create_compress(&compressor);
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&compressor, &buffer, &size);
  compressor.image_width = 16;
  compressor.image_height = 16;
  compressor.input_components = 3;
  compressor.in_color_space = JCS_RGB;
  jpeg_set_defaults(&compressor);
  jpeg_start_compress(&compressor, TRUE);
  JSAMPLE row[16 * 3];
  for (int i = 0; i < 16 * 3; ++i) row[i] = static_cast<JSAMPLE>(i * 5);
  JSAMPROW rows[1] = {row};
  while (compressor.next_scanline < compressor.image_height) jpeg_write_scanlines(&compressor, rows, 1);
  jpeg_finish_compress(&compressor);
  jpeg_destroy_compress(&compressor);
  std::string jpeg(reinterpret_cast<const char*>(buffer), size);
  std::free(buffer);
  // The frame header: marker FF C0, length (2), precision (1), height (2), width (2).
  const std::size_t frame = jpeg.find("\xFF\xC0");
  if (frame != std::string::npos) {
    jpeg[frame + 5] = static_cast<char>(height >> 8);
    jpeg[frame + 6] = static_cast<char>(height & 0xFF);
    jpeg[frame + 7] = static_cast<char>(width >> 8);
    jpeg[frame + 8] = static_cast<char>(width & 0xFF);
  }
  return jpeg;
}

}  // namespace bombs
