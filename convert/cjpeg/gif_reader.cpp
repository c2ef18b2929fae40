// GIF input: the first image of the file, LZW-decoded and expanded through
// its colour map into RGB rows. Interlaced images are decoded whole into a
// library whole-image array first, then delivered in display order.
#include <cstring>

#include "converter_support.h"
#include "pixel_source.h"

namespace {

constexpr int kMaxCodeBits = 12;
constexpr int kCodeTableSize = 1 << kMaxCodeBits;  // 4096 codes, the LZW ceiling
constexpr int kMapEntries = 256;
constexpr int kMaxBlockLength = 255;

// The two bytes carried over from the previous block sit in front of the
// current one, so a code straddling two blocks is read in one piece; the
// tail leaves room for the three-byte fetch at the very last code.
constexpr int kCarriedBytes = 2;
constexpr int kCodeBufferSize = kCarriedBytes + kMaxBlockLength + 3;

constexpr int kColourTableFlag = 0x80;
constexpr int kInterlacedFlag = 0x40;
constexpr int kSizeCodeMask = 0x07;

constexpr int kTrailer = ';';
constexpr int kExtensionIntroducer = '!';
constexpr int kImageSeparator = ',';

// Interlaced storage: the file holds every 8th row from 0, then every 8th
// from 4, every 4th from 2 and every 2nd from 1.
struct InterlacePass {
  JDIMENSION first_row;
  JDIMENSION row_step;
};
constexpr InterlacePass kInterlacePasses[4] = {{0, 8}, {4, 8}, {2, 4}, {1, 2}};
// The pass that holds display row r, indexed by r mod 8.
constexpr int kPassOfRow[8] = {0, 3, 2, 3, 1, 3, 2, 3};

struct GifReader {
  PixelSource pub;  // must be first

  j_compress_ptr compressor;
  JSAMPARRAY colour_map;  // 3 rows (R, G, B) of kMapEntries

  // Bit reader over the current data block.
  UINT8 code_buffer[kCodeBufferSize];
  int last_byte;    // valid bytes in code_buffer
  int last_bit;     // valid bits in code_buffer
  int current_bit;  // next unread bit
  bool out_of_blocks;

  // LZW decoder.
  int initial_code_size;
  int clear_code;
  int end_code;
  int code_size;
  int limit_code;
  int max_code;  // next free table slot
  bool first_time;
  int old_code;
  int first_code;  // first byte of old_code's string, always below 256
  UINT16* prefix;
  UINT8* suffix;
  UINT8* stack;      // kCodeTableSize bytes
  UINT8* stack_top;  // one past the last pushed byte

  bool interlaced;
  jvirt_sarray_ptr whole_image;
  JDIMENSION current_row;
  JDIMENSION pass_offset[4];  // stored index of each pass's first row
};

int ReadByte(GifReader* gif) {
  int c = std::getc(gif->pub.InputFile);
  if (c == EOF) ERREXIT(gif->compressor, JERR_INPUT_EOF);
  return c;
}

// Reads one data block into `buffer`; returns its length (0 ends a sequence).
int ReadDataBlock(GifReader* gif, UINT8* buffer) {
  int length = ReadByte(gif);
  if (length > 0 &&
      std::fread(buffer, 1, static_cast<size_t>(length), gif->pub.InputFile) !=
          static_cast<size_t>(length)) {
    ERREXIT(gif->compressor, JERR_INPUT_EOF);
  }
  return length;
}

void SkipDataBlocks(GifReader* gif) {
  UINT8 discard[kMaxBlockLength];
  while (ReadDataBlock(gif, discard) > 0) {
  }
}

// Loads `entries` colour-table triples into the map, over what is there.
void ReadColourTable(GifReader* gif, int entries) {
  for (int i = 0; i < entries; ++i) {
    gif->colour_map[0][i] = static_cast<JSAMPLE>(ReadByte(gif));
    gif->colour_map[1][i] = static_cast<JSAMPLE>(ReadByte(gif));
    gif->colour_map[2][i] = static_cast<JSAMPLE>(ReadByte(gif));
  }
}

void ResetDecoder(GifReader* gif) {
  gif->code_size = gif->initial_code_size + 1;
  gif->limit_code = gif->clear_code << 1;
  gif->max_code = gif->clear_code + 2;
  gif->stack_top = gif->stack;
}

void StartDecoder(GifReader* gif) {
  gif->last_byte = kCarriedBytes;
  gif->last_bit = 0;
  gif->current_bit = 0;
  gif->out_of_blocks = false;
  gif->clear_code = 1 << gif->initial_code_size;
  gif->end_code = gif->clear_code + 1;
  gif->first_time = true;
  ResetDecoder(gif);
}

int ReadCode(GifReader* gif) {
  while (gif->current_bit + gif->code_size > gif->last_bit) {
    if (gif->out_of_blocks) {
      WARNMS(gif->compressor, MSG_GIF_NOMOREDATA);
      return gif->end_code;
    }
    gif->code_buffer[0] = gif->code_buffer[gif->last_byte - 2];
    gif->code_buffer[1] = gif->code_buffer[gif->last_byte - 1];
    int length = ReadDataBlock(gif, gif->code_buffer + kCarriedBytes);
    if (length == 0) {
      gif->out_of_blocks = true;
      WARNMS(gif->compressor, MSG_GIF_NOMOREDATA);
      return gif->end_code;
    }
    gif->current_bit = gif->current_bit - gif->last_bit + 16;
    gif->last_byte = kCarriedBytes + length;
    gif->last_bit = gif->last_byte * 8;
  }
  const UINT8* at = gif->code_buffer + (gif->current_bit >> 3);
  unsigned long bits = static_cast<unsigned long>(at[0]) |
                       (static_cast<unsigned long>(at[1]) << 8) |
                       (static_cast<unsigned long>(at[2]) << 16);
  bits >>= (gif->current_bit & 7);
  gif->current_bit += gif->code_size;
  return static_cast<int>(bits & ((1UL << gif->code_size) - 1));
}

// The slow half of "next decoded byte": called when the expansion stack is
// empty. Reads one code, leaves the rest of its string on the stack and
// returns its first byte. Values are always below 256, whatever the code
// size, so every caller may index the colour map with them.
int DecodeNextCode(GifReader* gif) {
  int code;
  if (gif->first_time) {
    gif->first_time = false;
    code = gif->clear_code;
  } else {
    code = ReadCode(gif);
  }

  if (code == gif->clear_code) {
    ResetDecoder(gif);
    do {
      code = ReadCode(gif);
    } while (code == gif->clear_code);
    if (code > gif->clear_code) {  // a string cannot follow a clear code
      WARNMS(gif->compressor, MSG_GIF_BAD_CODE);
      code = 0;
    }
    gif->first_code = code & 0xFF;
    gif->old_code = code;
    return gif->first_code;
  }

  if (code == gif->end_code) {
    if (!gif->out_of_blocks) {
      SkipDataBlocks(gif);
      gif->out_of_blocks = true;
    }
    WARNMS(gif->compressor, MSG_GIF_ENDCODE);
    return 0;
  }

  int incoming_code = code;
  UINT8* const stack_limit = gif->stack + kCodeTableSize;
  if (code >= gif->max_code) {
    // Equal to the next free code: the string about to be defined, i.e. the
    // previous string plus its own first byte.
    if (code > gif->max_code) {
      WARNMS(gif->compressor, MSG_GIF_BAD_CODE);
      incoming_code = 0;
    }
    *gif->stack_top++ = static_cast<UINT8>(gif->first_code);
    code = gif->old_code;
  }
  // Every table entry points at a smaller code, so a chain is never longer
  // than the table; the limit check only guards that invariant.
  while (code >= gif->clear_code && gif->stack_top < stack_limit) {
    *gif->stack_top++ = gif->suffix[code];
    code = gif->prefix[code];
  }
  gif->first_code = code & 0xFF;

  if (gif->max_code < kCodeTableSize) {
    gif->prefix[gif->max_code] = static_cast<UINT16>(gif->old_code);
    gif->suffix[gif->max_code] = static_cast<UINT8>(gif->first_code);
    ++gif->max_code;
    if (gif->max_code >= gif->limit_code && gif->code_size < kMaxCodeBits) {
      ++gif->code_size;
      gif->limit_code <<= 1;
    }
  }
  gif->old_code = incoming_code;
  return gif->first_code;
}

// Next decoded byte. The common case, popping the expansion stack, works on
// a local copy of the stack top: stores into sample rows may alias any
// byte, so a top kept only in the record would be reloaded every pixel.
inline int NextIndex(GifReader* gif, UINT8*& top) {
  if (top > gif->stack) return *--top;
  gif->stack_top = top;
  int v = DecodeNextCode(gif);
  top = gif->stack_top;
  return v;
}

// Decodes the next `count` colour indexes into `indexes`.
void DecodeIndexes(GifReader* gif, UINT8* indexes, JDIMENSION count) {
  UINT8* top = gif->stack_top;
  for (JDIMENSION i = 0; i < count; ++i) indexes[i] = static_cast<UINT8>(NextIndex(gif, top));
  gif->stack_top = top;
}

void ExpandThroughMap(const GifReader* gif, const UINT8* indexes, JSAMPROW out,
                      JDIMENSION width) {
  const JSAMPLE* red = gif->colour_map[0];
  const JSAMPLE* green = gif->colour_map[1];
  const JSAMPLE* blue = gif->colour_map[2];
  for (JDIMENSION x = 0; x < width; ++x) {
    UINT8 v = indexes[x];
    out[0] = red[v];
    out[1] = green[v];
    out[2] = blue[v];
    out += 3;
  }
}

JDIMENSION ReadDirectRow(j_compress_ptr compressor, PixelSource* source) {
  GifReader* gif = reinterpret_cast<GifReader*>(source);
  JDIMENSION width = compressor->image_width;
  JSAMPROW out = source->RowBuffer[0];
  const JSAMPLE* red = gif->colour_map[0];
  const JSAMPLE* green = gif->colour_map[1];
  const JSAMPLE* blue = gif->colour_map[2];
  UINT8* top = gif->stack_top;
  for (JDIMENSION x = 0; x < width; ++x) {
    int v = NextIndex(gif, top);
    out[0] = red[v];
    out[1] = green[v];
    out[2] = blue[v];
    out += 3;
  }
  gif->stack_top = top;
  return 1;
}

JDIMENSION ReadInterlacedRow(j_compress_ptr compressor, PixelSource* source) {
  GifReader* gif = reinterpret_cast<GifReader*>(source);
  JDIMENSION r = gif->current_row;
  int pass = kPassOfRow[r & 7];
  JDIMENSION stored_row = gif->pass_offset[pass] + r / kInterlacePasses[pass].row_step;
  JSAMPARRAY image = (*compressor->mem->access_virt_sarray)(
      reinterpret_cast<j_common_ptr>(compressor), gif->whole_image, stored_row, 1, FALSE);
  ExpandThroughMap(gif, image[0], source->RowBuffer[0], compressor->image_width);
  ++gif->current_row;
  return 1;
}

// First ReadRows of an interlaced image: decode every row in file order,
// then hand out display rows from the stored picture.
JDIMENSION LoadInterlacedImage(j_compress_ptr compressor, PixelSource* source) {
  GifReader* gif = reinterpret_cast<GifReader*>(source);
  JDIMENSION width = compressor->image_width;
  JDIMENSION height = compressor->image_height;
  for (JDIMENSION row = 0; row < height; ++row) {
    JSAMPARRAY image = (*compressor->mem->access_virt_sarray)(
        reinterpret_cast<j_common_ptr>(compressor), gif->whole_image, row, 1, TRUE);
    DecodeIndexes(gif, image[0], width);
  }

  gif->pass_offset[0] = 0;
  for (int pass = 0; pass < 3; ++pass) {
    const InterlacePass& p = kInterlacePasses[pass];
    gif->pass_offset[pass + 1] =
        gif->pass_offset[pass] + (height + p.row_step - 1 - p.first_row) / p.row_step;
  }
  gif->current_row = 0;
  source->ReadRows = ReadInterlacedRow;
  return ReadInterlacedRow(compressor, source);
}

void ReadGifHeader(j_compress_ptr compressor, PixelSource* source) {
  GifReader* gif = reinterpret_cast<GifReader*>(source);
  j_common_ptr common = reinterpret_cast<j_common_ptr>(compressor);

  // Entries the file never loads must read as black, not as pool garbage.
  gif->colour_map =
      (*compressor->mem->alloc_sarray)(common, JPOOL_IMAGE, kMapEntries, 3);
  for (int c = 0; c < 3; ++c) std::memset(gif->colour_map[c], 0, kMapEntries);

  UINT8 header[6];
  if (std::fread(header, 1, sizeof header, source->InputFile) != sizeof header ||
      header[0] != 'G' || header[1] != 'I' || header[2] != 'F') {
    ERREXIT(compressor, MSG_GIF_NOT);
  }
  if (!(header[3] == '8' && (header[4] == '7' || header[4] == '9') && header[5] == 'a')) {
    TRACEMS3(compressor, 1, MSG_GIF_BAD_VERSION, header[3], header[4], header[5]);
  }

  UINT8 screen[7];
  if (std::fread(screen, 1, sizeof screen, source->InputFile) != sizeof screen) {
    ERREXIT(compressor, JERR_INPUT_EOF);
  }
  int table_length = 2 << (screen[4] & kSizeCodeMask);
  if (screen[6] != 0 && screen[6] != 49) TRACEMS(compressor, 1, MSG_GIF_NONSQUARE);
  if (screen[4] & kColourTableFlag) ReadColourTable(gif, table_length);

  for (;;) {
    int c = ReadByte(gif);
    if (c == kImageSeparator) break;
    if (c == kTrailer) {
      ERREXIT(compressor, MSG_GIF_IMAGENOTFOUND);
    } else if (c == kExtensionIntroducer) {
      int label = ReadByte(gif);
      TRACEMS1(compressor, 1, MSG_GIF_EXTENSION, label);
      SkipDataBlocks(gif);
    } else {
      WARNMS1(compressor, MSG_GIF_BOGUS_CHAR, c);
    }
  }

  UINT8 descriptor[9];
  if (std::fread(descriptor, 1, sizeof descriptor, source->InputFile) != sizeof descriptor) {
    ERREXIT(compressor, JERR_INPUT_EOF);
  }
  JDIMENSION width = descriptor[4] | (static_cast<JDIMENSION>(descriptor[5]) << 8);
  JDIMENSION height = descriptor[6] | (static_cast<JDIMENSION>(descriptor[7]) << 8);
  gif->interlaced = (descriptor[8] & kInterlacedFlag) != 0;
  if (descriptor[8] & kColourTableFlag) {
    table_length = 2 << (descriptor[8] & kSizeCodeMask);
    ReadColourTable(gif, table_length);
  }

  gif->initial_code_size = ReadByte(gif);
  if (gif->initial_code_size < 2 || gif->initial_code_size > kMaxCodeBits - 1) {
    ERREXIT1(compressor, MSG_GIF_CODESIZE, gif->initial_code_size);
  }
  // The library cannot size rows of nothing; say what is wrong before the
  // allocations below trip over it.
  if (width == 0 || height == 0) ERREXIT(compressor, JERR_EMPTY_IMAGE);

  gif->prefix = static_cast<UINT16*>(
      (*compressor->mem->alloc_small)(common, JPOOL_IMAGE, kCodeTableSize * sizeof(UINT16)));
  gif->suffix = static_cast<UINT8*>(
      (*compressor->mem->alloc_small)(common, JPOOL_IMAGE, kCodeTableSize));
  gif->stack = static_cast<UINT8*>(
      (*compressor->mem->alloc_small)(common, JPOOL_IMAGE, kCodeTableSize));
  StartDecoder(gif);

  if (gif->interlaced) {
    gif->whole_image = (*compressor->mem->request_virt_sarray)(common, JPOOL_IMAGE, FALSE,
                                                                width, height, 1);
    source->ReadRows = LoadInterlacedImage;
  } else {
    source->ReadRows = ReadDirectRow;
  }

  source->RowBuffer = (*compressor->mem->alloc_sarray)(common, JPOOL_IMAGE, width * 3, 1);
  source->RowBufferHeight = 1;

  compressor->in_color_space = JCS_RGB;
  compressor->input_components = 3;
  compressor->data_precision = 8;
  compressor->image_width = width;
  compressor->image_height = height;

  TRACEMS3(compressor, 1, MSG_GIF_TRACE_HEADER, width, height, table_length);
}

// Whatever follows the first image (more frames, the trailer) is left unread.
void FinishGif(j_compress_ptr, PixelSource*) {}

}  // namespace

PixelSource* OpenGifReader(j_compress_ptr compressor) {
  GifReader* gif = static_cast<GifReader*>((*compressor->mem->alloc_small)(
      reinterpret_cast<j_common_ptr>(compressor), JPOOL_IMAGE, sizeof(GifReader)));
  std::memset(static_cast<void*>(gif), 0, sizeof(GifReader));
  gif->compressor = compressor;
  gif->pub.ReadHeader = ReadGifHeader;
  gif->pub.FinishReading = FinishGif;
  return &gif->pub;
}
