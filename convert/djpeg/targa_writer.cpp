// Placeholder until the writer lands.
#include "converter_support.h"
#include "image_writer.h"

ImageWriter* CreateTargaWriter(j_decompress_ptr decompressor) {
  ERREXIT(decompressor, MSG_UNSUPPORTED_FORMAT);
  return nullptr;
}
