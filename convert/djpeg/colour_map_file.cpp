// Placeholder until the colour-map reader lands.
#include "converter_support.h"
#include "image_writer.h"

void LoadColourMapFile(j_decompress_ptr decompressor, std::FILE*) {
  ERREXIT(decompressor, MSG_BAD_CMAP_FILE);
}
