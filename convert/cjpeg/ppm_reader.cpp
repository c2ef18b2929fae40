// Placeholder until the reader lands.
#include "converter_support.h"
#include "pixel_source.h"

PixelSource* OpenPpmReader(j_compress_ptr compressor) {
  ERREXIT(compressor, MSG_UNKNOWN_INPUT);
  return nullptr;
}
