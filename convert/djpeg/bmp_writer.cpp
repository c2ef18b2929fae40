// Placeholder until the writer lands.
#include "converter_support.h"
#include "image_writer.h"

ImageWriter* CreateBmpWriter(j_decompress_ptr decompressor, boolean) {
  ERREXIT(decompressor, MSG_UNSUPPORTED_FORMAT);
  return nullptr;
}
