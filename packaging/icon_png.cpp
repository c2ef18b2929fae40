// Writes the program's own icon art as a PNG of the asked size, for the icon
// theme: the small picture for the smallest size, the large one scaled by
// whole pixels (nearest neighbour keeps the pixel art crisp) for the rest.
#include <png.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "icons.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s SIZE OUT.png\n", argv[0]);
    return 2;
  }
  const int size = std::atoi(argv[1]);
  if (size < 16 || size > 1024) {
    std::fprintf(stderr, "%s: size %s is not between 16 and 1024\n", argv[0], argv[1]);
    return 2;
  }
  LayerIconImage art;
  if (!layer::ProgramIconImage(layer::ProgramIconIndex(size <= 16 ? "TESTM_ICON" : "TEST_ICON"), &art)) return 1;

  std::vector<png_byte> rgb(static_cast<size_t>(size) * size * 3);
  for (int y = 0; y < size; ++y) {
    for (int x = 0; x < size; ++x) {
      int index = art.pixels[(y * art.height / size) * art.width + x * art.width / size];
      uint32_t colour = art.palette[index];
      png_byte* out = &rgb[(static_cast<size_t>(y) * size + x) * 3];
      out[0] = static_cast<png_byte>(colour >> 16);
      out[1] = static_cast<png_byte>(colour >> 8);
      out[2] = static_cast<png_byte>(colour);
    }
  }

  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  image.width = static_cast<png_uint_32>(size);
  image.height = static_cast<png_uint_32>(size);
  image.format = PNG_FORMAT_RGB;
  if (!png_image_write_to_file(&image, argv[2], 0, rgb.data(), 0, nullptr)) {
    std::fprintf(stderr, "%s: %s: %s\n", argv[0], argv[2], image.message);
    return 1;
  }
  return 0;
}
