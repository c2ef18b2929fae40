// Shared by the Targa, PPM and GIF writer tests and the colour-map reader
// tests: test pictures made by Pillow, a run of one writer the way the
// command drives it, a reference decode by the bare library, and readers
// that look at the written files without our own code.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include <jpeglib.h>

#include "image_writer.h"

namespace djwriters {

using Bytes = std::vector<std::uint8_t>;
using Rgb = std::array<std::uint8_t, 3>;
using WriterFactory = ImageWriter* (*)(j_decompress_ptr);

// What the decoding switches would set after the header has been read.
struct DecodeSettings {
  bool grayscale = false;  // -grayscale
  int colors = 0;          // -colors N when above 0
  bool fast = false;       // -fast
  bool onepass = false;    // -onepass
  int dither = -1;         // -dither: a J_DITHER_MODE, or -1 for the default
  std::string map_file;    // -map, read with LoadColourMapFile
  unsigned scale_denom = 1;  // -scale 1/N
  int dct = -1;            // -dct: a J_DCT_METHOD, or -1 for the default
  bool nosmooth = false;   // -nosmooth

  // Chainable, so a table row reads like the switches it stands for.
  DecodeSettings& Grayscale() { grayscale = true; return *this; }
  DecodeSettings& Colors(int n) { colors = n; return *this; }
  DecodeSettings& Fast() { fast = true; return *this; }
  DecodeSettings& OnePass() { onepass = true; return *this; }
  DecodeSettings& Dither(int mode) { dither = mode; return *this; }
  DecodeSettings& Map(const std::string& path) { map_file = path; return *this; }
  DecodeSettings& Scale(unsigned denom) { scale_denom = denom; return *this; }
  DecodeSettings& Dct(int method) { dct = method; return *this; }
  DecodeSettings& NoSmooth() { nosmooth = true; return *this; }
};

struct WriterOutcome {
  int result = -1;       // 0 done, 2 done with warnings, 1 failed
  std::string messages;  // what the run printed on the standard error stream
};

// Decodes `jpeg` into `output` through the writer `create` makes, in the
// order a command run calls it, recovering from fatal errors as a run does.
WriterOutcome RunWriter(WriterFactory create, const std::string& jpeg, const std::string& output,
                        const DecodeSettings& settings);

// A quantized run whose library claims `colours` map entries when the
// writer begins, more than any map the library makes can hold.
WriterOutcome RunWriterClaimingColours(WriterFactory create, const std::string& jpeg, const std::string& output,
                                       int colours);

// Runs the writer on a CMYK JPEG, expecting `colour_space_message`, and into
// /dev/full, expecting the library's disk-full message; both give result 1.
void ExpectWriterFailures(WriterFactory create, const std::string& colour_space_message);

// RunDjpeg called in-process with argv[0] "djpeg" and `arguments` after it.
WriterOutcome RunDjpegWith(const std::vector<std::string>& arguments);

// The standalone command with `arguments`: exit status and standard error.
WriterOutcome RunDjpegCommand(const std::vector<std::string>& arguments);

// The same decode by the bare library with no writer involved.
struct Decoded {
  unsigned width = 0;
  unsigned height = 0;
  int components = 0;        // samples per pixel in `samples` (1 when quantized)
  bool grayscale = false;    // out_color_space is grayscale
  Bytes samples;             // rows top-down
  std::vector<Rgb> colormap;  // quantized output only; gray maps repeat component 0
};
// `map` stands in for the -map file when given.
Decoded DecodeReference(const std::string& jpeg, const DecodeSettings& settings,
                        const std::vector<Rgb>* map = nullptr);

// The reference's pixels as a writer of plain samples must store them:
// quantized indexes replaced by their map colours (one level for gray).
Bytes Demapped(const Decoded& decoded);

// Writes a JPEG with Pillow. `mode` is "RGB", "L" or "CMYK"; `pattern` is
// "smooth" (gradients), "noise" (seeded random samples) or "blend"
// (gradients and noise made by Pillow itself, quick at any size); `options` are
// extra keyword arguments of Pillow's save, e.g. "quality=90, subsampling=0".
void MakeJpeg(const std::string& path, const std::string& mode, int width, int height,
              const std::string& pattern = "smooth", const std::string& options = "quality=90");

// A picture file as Pillow reads it.
struct PillowPicture {
  std::string mode;     // e.g. "RGB", "L", "P"
  int width = 0;
  int height = 0;
  Bytes pixels;         // raw bytes in `mode`
  Bytes rgb;            // the same picture converted to RGB
  Bytes palette;        // RGB triples for mode "P", else empty
};
PillowPicture ReadWithPillow(const std::string& path);

// A GIF as giflib reads it.
struct GiflibPicture {
  bool ok = false;
  int width = 0;
  int height = 0;
  int colour_resolution = 0;
  int colour_table_entries = 0;
  std::vector<Rgb> colour_table;
  Bytes indexes;  // one per pixel, rows top-down
};
GiflibPicture ReadWithGiflib(const std::string& path);

// The LZW stream of a single-image GIF, walked the way a decoder sizes its
// codes, so that tests can see widths, clear codes and sub-block lengths.
struct LzwCode {
  unsigned value;
  int width;           // bits it was read with
  unsigned table_size; // decoder's next free code when it was read
};
struct LzwStream {
  bool ok = false;
  int initial_code_size = 0;
  std::vector<int> block_lengths;
  std::vector<LzwCode> codes;  // up to and including the end code
  std::size_t bytes_after_terminator = 0;
  bool ends_with_trailer = false;
};
LzwStream WalkLzwStream(const std::string& gif_bytes);

// Writes `rows` (height x width samples) as a GIF through the GIF writer,
// for a grayscale decompressor whose size comes from `size_jpeg`; the LZW
// input is then exactly these bytes.
WriterOutcome WriteGifSamples(const std::string& size_jpeg, const std::string& output, const Bytes& samples);

// Little-endian 16-bit field of a byte string.
unsigned Word(const std::string& bytes, std::size_t offset);

}  // namespace djwriters
