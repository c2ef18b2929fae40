// GIF input: the first image of the file, LZW-decoded and expanded through
// its colour map into RGB rows. Interlaced images are decoded whole into a
// library whole-image array first, then delivered in display order.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "converter_support.h"
#include "pixel_source.h"

namespace {

constexpr int kMaxCodeBits = 12;
constexpr int kCodeTableSize = 1 << kMaxCodeBits;  // 4096 codes, the LZW ceiling
constexpr int kMapEntries = 256;
constexpr int kMaxBlockLength = 255;
constexpr std::size_t kImageDataBytes = std::size_t{1} << 16;

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

// One code of the LZW table: the string of `prefix` followed by `suffix`.
// A literal's suffix is its own low byte, with prefix 0, so that short
// strings can be written without asking which kind of code they are.
struct LzwEntry {
  UINT16 prefix;
  UINT16 length;  // bytes in the code's string
  UINT8 suffix;
};

struct GifReader {
  PixelSource pub;  // must be first

  j_compress_ptr compressor;
  JSAMPARRAY colour_map;  // 3 rows (R, G, B) of kMapEntries
  // The same map as red, green, blue, spare per entry, so a pixel is
  // expanded with one four-byte copy.
  UINT8 (*packed_map)[4];

  // Bit reader: codes come out of a bit accumulator, least significant bit
  // first, refilled from the current data block; a block is read only when
  // the accumulator and the rest of the block together hold too few bits.
  UINT8 code_buffer[kMaxBlockLength];  // the current data block
  int block_position;                  // next byte of code_buffer to take
  int block_length;                    // valid bytes in code_buffer
  std::uint64_t bit_buffer;            // unread bits, next bit lowest
  int bit_count;                       // valid bits in bit_buffer
  bool out_of_blocks;
  // The image data have ended and every pixel still to come is index 0:
  // what remains is filled, not decoded.
  bool data_spent;
  // The image data are read from the file in large pieces rather than a
  // block at a time; what is read beyond the image is never looked at.
  UINT8* image_data;            // kImageDataBytes
  std::size_t image_data_next;  // next unread byte of image_data
  std::size_t image_data_end;   // valid bytes in image_data

  // LZW decoder.
  int initial_code_size;
  int clear_code;
  int end_code;
  int code_size;
  int limit_code;
  int max_code;  // next free table slot
  bool first_time;
  int old_code;
  int first_code;   // first byte of the string last decoded, always below 256
  LzwEntry* table;  // kCodeTableSize entries
  UINT8* stack;     // kCodeTableSize bytes
  UINT8* stack_top; // one past the last pushed byte

  UINT8* index_row;  // one row of colour indexes, non-interlaced images
  JSAMPARRAY own_row;    // the row buffer rows are expanded into
  JSAMPARRAY spent_row;  // a row of index 0 expanded, once the data are spent
  bool interlaced;
  jvirt_sarray_ptr whole_image;
  JDIMENSION decoded_rows;  // stored rows the loader decoded; the rest are spent
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

// Refills image_data; the end of the file where image data are still
// expected is the same fatal error as anywhere else. The buffer is drawn
// with the first rows, after the library has shared out its memory limit
// among the whole-image arrays, so that it never changes that division.
void ReadMoreImageData(GifReader* gif) {
  if (gif->image_data == nullptr) {
    gif->image_data = static_cast<UINT8*>((*gif->compressor->mem->alloc_large)(
        reinterpret_cast<j_common_ptr>(gif->compressor), JPOOL_IMAGE, kImageDataBytes));
  }
  gif->image_data_next = 0;
  gif->image_data_end = std::fread(gif->image_data, 1, kImageDataBytes, gif->pub.InputFile);
  if (gif->image_data_end == 0) ERREXIT(gif->compressor, JERR_INPUT_EOF);
}

// ReadDataBlock for the image data.
int ReadImageBlock(GifReader* gif, UINT8* buffer) {
  if (gif->image_data_next == gif->image_data_end) ReadMoreImageData(gif);
  const int length = gif->image_data[gif->image_data_next++];
  for (std::size_t wanted = static_cast<std::size_t>(length); wanted > 0;) {
    if (gif->image_data_next == gif->image_data_end) ReadMoreImageData(gif);
    const std::size_t here = gif->image_data_end - gif->image_data_next;
    const std::size_t taken = here < wanted ? here : wanted;
    std::memcpy(buffer, gif->image_data + gif->image_data_next, taken);
    gif->image_data_next += taken;
    buffer += taken;
    wanted -= taken;
  }
  return length;
}

void SkipImageBlocks(GifReader* gif) {
  UINT8 discard[kMaxBlockLength];
  while (ReadImageBlock(gif, discard) > 0) {
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
  gif->block_position = 0;
  gif->block_length = 0;
  gif->bit_buffer = 0;
  gif->bit_count = 0;
  gif->out_of_blocks = false;
  gif->data_spent = false;
  gif->image_data_next = 0;
  gif->image_data_end = 0;
  gif->clear_code = 1 << gif->initial_code_size;
  gif->end_code = gif->clear_code + 1;
  gif->first_time = true;
  // A literal is its own one-byte string (only the low byte of a literal
  // above 255 is kept); table codes are filled in as they are defined.
  for (int code = 0; code < gif->clear_code; ++code) {
    gif->table[code].prefix = 0;
    gif->table[code].length = 1;
    gif->table[code].suffix = static_cast<UINT8>(code);
  }
  ResetDecoder(gif);
}

// The next code, reading data blocks as needed. When the image data have
// ended, warns and answers the end code without consuming anything.
int ReadCode(GifReader* gif) {
  while (gif->bit_count < gif->code_size) {
    if (gif->block_position < gif->block_length) {
      gif->bit_buffer |= static_cast<std::uint64_t>(gif->code_buffer[gif->block_position++]) << gif->bit_count;
      gif->bit_count += 8;
      continue;
    }
    if (gif->out_of_blocks) {
      gif->data_spent = true;
      WARNMS(gif->compressor, MSG_GIF_NOMOREDATA);
      return gif->end_code;
    }
    int length = ReadImageBlock(gif, gif->code_buffer);
    if (length == 0) {
      gif->out_of_blocks = true;
      gif->data_spent = true;
      WARNMS(gif->compressor, MSG_GIF_NOMOREDATA);
      return gif->end_code;
    }
    gif->block_position = 0;
    gif->block_length = length;
  }
  int code = static_cast<int>(gif->bit_buffer & ((1U << gif->code_size) - 1));
  gif->bit_buffer >>= gif->code_size;
  gif->bit_count -= gif->code_size;
  return code;
}

// Enters the string old_code + first_code as the next table code.
inline void AddTableEntry(GifReader* gif) {
  if (gif->max_code < kCodeTableSize) {
    LzwEntry& entry = gif->table[gif->max_code];
    entry.prefix = static_cast<UINT16>(gif->old_code);
    entry.suffix = static_cast<UINT8>(gif->first_code);
    entry.length = static_cast<UINT16>(gif->table[gif->old_code].length + 1);
    ++gif->max_code;
    if (gif->max_code >= gif->limit_code && gif->code_size < kMaxCodeBits) {
      ++gif->code_size;
      gif->limit_code <<= 1;
    }
  }
}

// Every case of one code that has been read (or the clear code the image
// implicitly starts with): leaves the rest of its string on the expansion
// stack and returns its first byte. Values are always below 256, whatever
// the code size, so every caller may index the colour map with them.
int DecodeCode(GifReader* gif, int code) {
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
      SkipImageBlocks(gif);
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
    *gif->stack_top++ = gif->table[code].suffix;
    code = gif->table[code].prefix;
  }
  gif->first_code = code & 0xFF;
  AddTableEntry(gif);
  gif->old_code = incoming_code;
  return gif->first_code;
}

// Decodes codes into [at, end) for as long as each whole string fits there,
// writing each straight into place, backwards along its prefix chain.
// Anything else (the start, clear and end codes, corrupt codes, a string
// running past `end`, a new data block) goes through ReadCode and
// DecodeCode, after which it returns so that the caller empties the stack.
// Works on local copies of the decoder state: stores into sample rows may
// alias any byte, so state kept only in the record would be reloaded after
// every pixel. Call with the expansion stack empty.
UINT8* DecodeRun(GifReader* gif, UINT8* at, UINT8* const end) {
  const int clear_code = gif->clear_code;
  LzwEntry* const table = gif->table;
  const UINT8* next = gif->code_buffer + gif->block_position;
  const UINT8* const block_end = gif->code_buffer + gif->block_length;

  std::uint64_t bit_buffer = gif->bit_buffer;
  int bit_count = gif->bit_count;
  int code_size = gif->code_size;
  int limit_code = gif->limit_code;
  int max_code = gif->max_code;
  int old_code = gif->old_code;
  int first_code = gif->first_code;
  int old_length = table[old_code].length;

  while (at < end) {
    if (bit_count < code_size) {
      if (block_end - next >= 8) {
        // Eight bytes at once; those beyond the whole bytes taken sit above
        // bit_count and are taken again, unchanged, by the next refill.
        const std::uint64_t word =
            std::uint64_t{next[0]} | std::uint64_t{next[1]} << 8 | std::uint64_t{next[2]} << 16 |
            std::uint64_t{next[3]} << 24 | std::uint64_t{next[4]} << 32 | std::uint64_t{next[5]} << 40 |
            std::uint64_t{next[6]} << 48 | std::uint64_t{next[7]} << 56;
        bit_buffer |= word << bit_count;
        next += (63 - bit_count) >> 3;
        bit_count |= 56;
      } else {
        while (bit_count <= 56 && next < block_end) {
          bit_buffer |= std::uint64_t{*next++} << bit_count;
          bit_count += 8;
        }
        if (bit_count < code_size) break;  // the block is spent
      }
    }
    const int code = static_cast<int>(static_cast<unsigned>(bit_buffer) & static_cast<unsigned>(limit_code - 1));
    if (static_cast<unsigned>(code - clear_code) < 2U || code > max_code) break;  // clear, end or corrupt

    // A code equal to the next free one stands for the previous string
    // plus the first byte of the string last decoded.
    const bool deferred = code == max_code;
    const LzwEntry& entry = table[deferred ? old_code : code];
    const int length = entry.length + (deferred ? 1 : 0);
    if (length > end - at) break;
    bit_buffer >>= code_size;
    bit_count -= code_size;

    // Strings of one or two bytes, most of them, are written without a
    // branch: for a single byte the first store is overwritten by the second.
    UINT8* out = at + entry.length;
    if (deferred) *out = static_cast<UINT8>(first_code);
    at[0] = table[entry.prefix].suffix;
    *--out = entry.suffix;
    if (entry.length > 2) {
      int link = entry.prefix;
      while (out > at) {
        *--out = table[link].suffix;
        link = table[link].prefix;
      }
    }
    first_code = at[0];
    at += length;

    if (max_code < kCodeTableSize) {
      LzwEntry& added = table[max_code];
      added.prefix = static_cast<UINT16>(old_code);
      added.suffix = static_cast<UINT8>(first_code);
      added.length = static_cast<UINT16>(old_length + 1);
      if (++max_code == limit_code && code_size < kMaxCodeBits) {
        ++code_size;
        limit_code <<= 1;
      }
    }
    old_code = code;
    old_length = length;
  }

  gif->block_position = static_cast<int>(next - gif->code_buffer);
  gif->bit_buffer = bit_buffer;
  gif->bit_count = bit_count;
  gif->code_size = code_size;
  gif->limit_code = limit_code;
  gif->max_code = max_code;
  gif->old_code = old_code;
  gif->first_code = first_code;
  if (at < end) *at++ = static_cast<UINT8>(DecodeCode(gif, ReadCode(gif)));
  return at;
}

// Decodes the next `count` colour indexes into `indexes`. Once the data are
// spent the rest is index 0, as decoding would give it pixel by pixel (each
// with two more warnings, which say nothing new).
void DecodeIndexes(GifReader* gif, UINT8* indexes, JDIMENSION count) {
  UINT8* at = indexes;
  UINT8* const end = indexes + count;
  UINT8* const stack = gif->stack;
  for (;;) {
    // The rest of a string that did not fit where it began.
    UINT8* top = gif->stack_top;
    while (top > stack && at < end) *at++ = *--top;
    gif->stack_top = top;
    if (at == end) return;
    if (gif->data_spent) {
      std::memset(at, 0, static_cast<std::size_t>(end - at));
      return;
    }
    if (gif->first_time) {
      gif->first_time = false;
      *at++ = static_cast<UINT8>(DecodeCode(gif, gif->clear_code));
    } else {
      at = DecodeRun(gif, at, end);
    }
  }
}

// Builds the four-byte form of the colour map once the tables are read.
void PackColourMap(GifReader* gif) {
  for (int i = 0; i < kMapEntries; ++i) {
    gif->packed_map[i][0] = gif->colour_map[0][i];
    gif->packed_map[i][1] = gif->colour_map[1][i];
    gif->packed_map[i][2] = gif->colour_map[2][i];
    gif->packed_map[i][3] = 0;
  }
}

// Each pixel is copied as four bytes, the fourth overwritten by the next
// pixel; the last one gets exactly three, so nothing lands past the row.
void ExpandThroughMap(const GifReader* gif, const UINT8* indexes, JSAMPROW out,
                      JDIMENSION width) {
  const UINT8(*map)[4] = gif->packed_map;
  const UINT8* const last = indexes + width - 1;
  for (; indexes < last; ++indexes, out += 3) std::memcpy(out, map[*indexes], 4);
  std::memcpy(out, map[*last], 3);
}

// Every row after the data are spent is this one, expanded once and then
// handed out as it stands, so a picture that claims more than its file
// holds costs no more than its file.
JSAMPARRAY SpentRow(j_compress_ptr compressor, GifReader* gif) {
  if (gif->spent_row == nullptr) {
    gif->spent_row = (*compressor->mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(compressor),
                                                      JPOOL_IMAGE, compressor->image_width * 3, 1);
    JSAMPROW out = gif->spent_row[0];
    for (JDIMENSION x = 0; x < compressor->image_width; ++x, out += 3) std::memcpy(out, gif->packed_map[0], 3);
  }
  return gif->spent_row;
}

JDIMENSION ReadDirectRow(j_compress_ptr compressor, PixelSource* source) {
  GifReader* gif = reinterpret_cast<GifReader*>(source);
  if (gif->data_spent) {
    source->RowBuffer = SpentRow(compressor, gif);
    return 1;
  }
  DecodeIndexes(gif, gif->index_row, compressor->image_width);
  ExpandThroughMap(gif, gif->index_row, source->RowBuffer[0], compressor->image_width);
  return 1;
}

JDIMENSION ReadInterlacedRow(j_compress_ptr compressor, PixelSource* source) {
  GifReader* gif = reinterpret_cast<GifReader*>(source);
  JDIMENSION r = gif->current_row;
  int pass = kPassOfRow[r & 7];
  JDIMENSION stored_row = gif->pass_offset[pass] + r / kInterlacePasses[pass].row_step;
  if (stored_row < gif->decoded_rows) {
    JSAMPARRAY image = (*compressor->mem->access_virt_sarray)(
        reinterpret_cast<j_common_ptr>(compressor), gif->whole_image, stored_row, 1, FALSE);
    source->RowBuffer = gif->own_row;
    ExpandThroughMap(gif, image[0], source->RowBuffer[0], compressor->image_width);
  } else {
    source->RowBuffer = SpentRow(compressor, gif);
  }
  ++gif->current_row;
  return 1;
}

// First ReadRows of an interlaced image: decode every row in file order,
// then hand out display rows from the stored picture.
JDIMENSION LoadInterlacedImage(j_compress_ptr compressor, PixelSource* source) {
  GifReader* gif = reinterpret_cast<GifReader*>(source);
  JDIMENSION width = compressor->image_width;
  JDIMENSION height = compressor->image_height;
  // Rows after the data are spent are neither decoded nor stored: the
  // store's memory for them is never touched.
  JDIMENSION row = 0;
  for (; row < height && !gif->data_spent; ++row) {
    EndRunIfSignalled(reinterpret_cast<j_common_ptr>(compressor));
    JSAMPARRAY image = (*compressor->mem->access_virt_sarray)(
        reinterpret_cast<j_common_ptr>(compressor), gif->whole_image, row, 1, TRUE);
    DecodeIndexes(gif, image[0], width);
  }
  gif->decoded_rows = row;

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

  gif->table = static_cast<LzwEntry*>(
      (*compressor->mem->alloc_small)(common, JPOOL_IMAGE, kCodeTableSize * sizeof(LzwEntry)));
  gif->stack = static_cast<UINT8*>(
      (*compressor->mem->alloc_small)(common, JPOOL_IMAGE, kCodeTableSize));
  StartDecoder(gif);

  if (gif->interlaced) {
    gif->whole_image = (*compressor->mem->request_virt_sarray)(common, JPOOL_IMAGE, FALSE,
                                                                width, height, 1);
    source->ReadRows = LoadInterlacedImage;
  } else {
    gif->index_row = static_cast<UINT8*>((*compressor->mem->alloc_small)(common, JPOOL_IMAGE, width));
    source->ReadRows = ReadDirectRow;
  }
  gif->packed_map = static_cast<UINT8(*)[4]>(
      (*compressor->mem->alloc_small)(common, JPOOL_IMAGE, kMapEntries * 4));
  PackColourMap(gif);

  gif->own_row = (*compressor->mem->alloc_sarray)(common, JPOOL_IMAGE, width * 3, 1);
  source->RowBuffer = gif->own_row;
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
