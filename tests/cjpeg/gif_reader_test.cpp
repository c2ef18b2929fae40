// The GIF reader on pictures written by giflib and Pillow, checked against
// what giflib and Pillow decode from the same files, and on hand-built
// files that exercise the LZW corner cases and every message.
#include <gif_lib.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "cjpeg_oracle_helpers.h"
#include "converter_support.h"
#include "pixel_source.h"
#include "reader_run.h"
#include "test_support.h"

using testsupport::TempDir;

namespace {

// The reader as the command drives it, header to last row.
readerrun::Outcome ReadGif(const std::string& path, int trace_level = 0) {
  return readerrun::Read(OpenGifReader, path, trace_level);
}

struct Rgb {
  int width = 0;
  int height = 0;
  std::string samples;
};

// giflib's view of the first image: raw image size, de-interlaced,
// expanded through the local table or else the global one.
Rgb DecodeWithGiflib(const std::string& path) {
  Rgb rgb;
  int error = 0;
  GifFileType* gif = DGifOpenFileName(path.c_str(), &error);
  if (gif == nullptr) return rgb;
  if (DGifSlurp(gif) == GIF_OK && gif->ImageCount > 0) {
    const SavedImage& image = gif->SavedImages[0];
    const ColorMapObject* map =
        image.ImageDesc.ColorMap != nullptr ? image.ImageDesc.ColorMap : gif->SColorMap;
    rgb.width = image.ImageDesc.Width;
    rgb.height = image.ImageDesc.Height;
    for (int i = 0; i < rgb.width * rgb.height; ++i) {
      int v = image.RasterBits[i];
      GifColorType c = map != nullptr && v < map->ColorCount ? map->Colors[v] : GifColorType{0, 0, 0};
      rgb.samples += static_cast<char>(c.Red);
      rgb.samples += static_cast<char>(c.Green);
      rgb.samples += static_cast<char>(c.Blue);
    }
  }
  DGifCloseFile(gif, &error);
  return rgb;
}

std::vector<GifColorType> DistinctPalette(int entries) {
  std::vector<GifColorType> palette(entries);
  for (int i = 0; i < entries; ++i) {
    palette[i] = {static_cast<GifByteType>(i), static_cast<GifByteType>(255 - i),
                  static_cast<GifByteType>((i * 37 + 11) & 0xFF)};
  }
  return palette;
}

struct GiflibPicture {
  int width = 37;
  int height = 23;
  int palette_size = 256;  // a power of two; sets the LZW code size
  bool interlaced = false;
  bool local_table = false;  // the palette in the image descriptor only
  bool extensions = false;   // 89a with a graphic-control and a comment block
  bool second_frame = false;
};

// Pixel indexes with runs and noise, so the code table fills and resets.
std::vector<GifPixelType> PatternIndexes(const GiflibPicture& p) {
  std::vector<GifPixelType> indexes(static_cast<std::size_t>(p.width) * p.height);
  std::uint32_t seed = 12345;
  for (std::size_t i = 0; i < indexes.size(); ++i) {
    seed = seed * 1103515245u + 12345u;
    bool noisy = (i / p.width) % 3 != 0;
    indexes[i] = static_cast<GifPixelType>((noisy ? (seed >> 16) : i / 7) % p.palette_size);
  }
  return indexes;
}

bool WriteWithGiflib(const std::string& path, const GiflibPicture& p) {
  int error = 0;
  GifFileType* gif = EGifOpenFileName(path.c_str(), false, &error);
  if (gif == nullptr) return false;
  std::vector<GifColorType> colours = DistinctPalette(p.palette_size);
  ColorMapObject* map = GifMakeMapObject(p.palette_size, colours.data());
  EGifSetGifVersion(gif, p.extensions);
  bool ok = EGifPutScreenDesc(gif, p.width, p.height, 8, 0, p.local_table ? nullptr : map) == GIF_OK;
  if (p.extensions) {
    const unsigned char control[4] = {0x04, 0x0A, 0x00, 0x00};  // delay 10, no transparency
    ok = ok && EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, 4, control) == GIF_OK;
    ok = ok && EGifPutExtension(gif, COMMENT_EXT_FUNC_CODE, 7, "skerrow") == GIF_OK;
  }
  std::vector<GifPixelType> indexes = PatternIndexes(p);
  ok = ok && EGifPutImageDesc(gif, 0, 0, p.width, p.height, p.interlaced,
                              p.local_table ? map : nullptr) == GIF_OK;
  // An interlaced image is written pass by pass, as the format stores it.
  std::vector<int> order;
  if (p.interlaced) {
    for (auto [first, step] : {std::pair{0, 8}, {4, 8}, {2, 4}, {1, 2}}) {
      for (int y = first; y < p.height; y += step) order.push_back(y);
    }
  } else {
    for (int y = 0; y < p.height; ++y) order.push_back(y);
  }
  for (int y : order) {
    ok = ok && EGifPutLine(gif, &indexes[static_cast<std::size_t>(y) * p.width], p.width) == GIF_OK;
  }
  if (p.second_frame) {
    std::vector<GifPixelType> other(indexes.size(), 1);
    ok = ok && EGifPutImageDesc(gif, 0, 0, p.width, p.height, false, map) == GIF_OK;
    for (int y = 0; y < p.height; ++y) {
      ok = ok && EGifPutLine(gif, &other[static_cast<std::size_t>(y) * p.width], p.width) == GIF_OK;
    }
  }
  GifFreeMapObject(map);
  return EGifCloseFile(gif, &error) == GIF_OK && ok;
}

TEST(GifReader, MatchesGiflibForEveryCodeSizeAndLayout) {
  TempDir dir;
  struct Case {
    const char* name;
    GiflibPicture picture;
  };
  std::vector<Case> cases;
  for (int bits = 2; bits <= 8; ++bits) {
    GiflibPicture p;
    p.palette_size = 1 << bits;
    cases.push_back({"plain", p});
    p.interlaced = true;
    cases.push_back({"interlaced", p});
  }
  GiflibPicture local;
  local.local_table = true;
  local.palette_size = 16;
  cases.push_back({"local table", local});
  GiflibPicture extended;
  extended.extensions = true;
  cases.push_back({"89a with extensions", extended});
  GiflibPicture animated;
  animated.second_frame = true;
  animated.extensions = true;
  cases.push_back({"two frames", animated});
  GiflibPicture large;  // long enough for the 4096-code table to fill many times
  large.width = 301;
  large.height = 211;
  cases.push_back({"large", large});
  large.interlaced = true;
  cases.push_back({"large interlaced", large});
  for (int height : {1, 2, 3, 4, 5, 7, 8, 9, 12, 16, 17, 33}) {
    GiflibPicture tall;
    tall.width = 3;
    tall.height = height;
    tall.interlaced = true;
    cases.push_back({"interlaced height", tall});
  }

  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " palette " + std::to_string(c.picture.palette_size) +
                 " height " + std::to_string(c.picture.height));
    std::string path = dir / "picture.gif";
    ASSERT_TRUE(WriteWithGiflib(path, c.picture));
    Rgb expected = DecodeWithGiflib(path);
    ASSERT_EQ(expected.width, c.picture.width);
    readerrun::Outcome run = ReadGif(path);
    EXPECT_TRUE(run.finished) << run.messages;
    EXPECT_EQ(run.messages, "");
    EXPECT_EQ(run.warnings, 0);
    EXPECT_EQ(run.pixels.width, expected.width);
    EXPECT_EQ(run.pixels.height, expected.height);
    EXPECT_EQ(run.pixels.components, 3);
    EXPECT_TRUE(run.one_row_per_call);
    EXPECT_TRUE(run.pixels.samples == expected.samples);
  }
}

TEST(GifReader, PillowPicturesMatchPillow) {
  TempDir dir;
  // Pillow writes 87a unless an extension asks for 89a, and interlaces
  // pictures of 16 rows or more by default.
  const char* script =
      "import sys\n"
      "from PIL import Image\n"
      "w, h = 70, 45\n"
      "im = Image.new('RGB', (w, h))\n"
      "im.putdata([((x * 7) & 255, (y * 5) & 255, (x * y) & 255) for y in range(h) for x in range(w)])\n"
      "p = im.quantize(colors=200)\n"
      "d = sys.argv[1]\n"
      "p.save(d + '/plain87.gif', interlace=0)\n"
      "p.save(d + '/interlaced87.gif')\n"
      "p.save(d + '/comment89.gif', comment=b'made for a test', duration=40, interlace=0)\n"
      "q = im.quantize(colors=4)\n"
      "q.save(d + '/four.gif')\n"
      "second = Image.new('RGB', (w, h), (250, 10, 10)).quantize(colors=2)\n"
      "p.save(d + '/animated.gif', save_all=True, append_images=[second], duration=100, loop=0)\n";
  auto made = testsupport::RunPython(script, {dir.path()});
  ASSERT_EQ(made.exit_code, 0) << made.err;

  for (const char* name : {"plain87.gif", "interlaced87.gif", "comment89.gif", "four.gif",
                           "animated.gif"}) {
    SCOPED_TRACE(name);
    std::string path = dir / name;
    cjpegoracle::Pixels expected = cjpegoracle::DecodeWithPillow(path, 3);
    ASSERT_EQ(expected.width, 70) << expected.samples;
    readerrun::Outcome run = ReadGif(path);
    EXPECT_TRUE(run.finished) << run.messages;
    EXPECT_EQ(run.warnings, 0);
    EXPECT_EQ(run.pixels.width, 70);
    EXPECT_EQ(run.pixels.height, 45);
    EXPECT_TRUE(run.pixels.samples == expected.samples);
  }
  std::string header = testsupport::ReadFile(dir / "interlaced87.gif").substr(0, 6);
  EXPECT_EQ(header, "GIF87a");
}

// --- hand-built files -------------------------------------------------------

std::string Le16(unsigned v) {
  return {static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)};
}

// LZW codes, each with the width the decoder reads it at, packed least
// significant bit first and cut into data blocks of `block` bytes.
std::string PackCodes(const std::vector<std::pair<int, int>>& codes, std::size_t block = 255,
                      bool terminate = true) {
  std::string bytes;
  std::uint32_t accumulator = 0;
  int bits = 0;
  for (auto [code, width] : codes) {
    accumulator |= static_cast<std::uint32_t>(code) << bits;
    bits += width;
    while (bits >= 8) {
      bytes += static_cast<char>(accumulator & 0xFF);
      accumulator >>= 8;
      bits -= 8;
    }
  }
  if (bits > 0) bytes += static_cast<char>(accumulator & 0xFF);
  std::string blocks;
  for (std::size_t at = 0; at < bytes.size(); at += block) {
    std::string piece = bytes.substr(at, block);
    blocks += static_cast<char>(piece.size());
    blocks += piece;
  }
  if (terminate) blocks += '\0';
  return blocks;
}

struct HandGif {
  std::string version = "89a";
  unsigned width = 1;
  unsigned height = 1;
  int global_entries = 256;  // 0: no global table
  int aspect = 0;
  std::string before_image;  // extensions or stray bytes
  bool interlaced = false;
  int code_size = 2;
  std::string image_data;  // data blocks, terminator included
};

int SizeCode(int entries) {
  int code = 0;
  while ((2 << code) < entries) ++code;
  return code;
}

std::string BuildGif(const HandGif& g) {
  std::string out = "GIF" + g.version;
  out += Le16(g.width) + Le16(g.height);
  out += static_cast<char>(g.global_entries > 0 ? 0x80 | SizeCode(g.global_entries) : 0);
  out += '\0';                              // background index
  out += static_cast<char>(g.aspect);
  for (const GifColorType& c : DistinctPalette(g.global_entries)) {
    out += static_cast<char>(c.Red);
    out += static_cast<char>(c.Green);
    out += static_cast<char>(c.Blue);
  }
  out += g.before_image;
  out += ',';
  out += Le16(0) + Le16(0);                 // position
  out += Le16(g.width) + Le16(g.height);
  out += static_cast<char>(g.interlaced ? 0x40 : 0);
  out += static_cast<char>(g.code_size);
  out += g.image_data;
  out += ';';
  return out;
}

// The RGB samples the distinct palette gives for these indexes; -1 is black.
std::string ExpectedRgb(const std::vector<int>& indexes) {
  std::vector<GifColorType> palette = DistinctPalette(256);
  std::string out;
  for (int v : indexes) {
    GifColorType c = v < 0 ? GifColorType{0, 0, 0} : palette[v];
    out += static_cast<char>(c.Red);
    out += static_cast<char>(c.Green);
    out += static_cast<char>(c.Blue);
  }
  return out;
}

TEST(GifReader, CodeStreamsDecodeLikeGiflib) {
  TempDir dir;
  // Code size 2: clear 4, end 5, first free 6; codes are 3 bits wide until
  // the table reaches 8 entries.
  struct Case {
    const char* name;
    unsigned width;
    std::vector<std::pair<int, int>> codes;
    std::size_t block;
    std::vector<int> indexes;
  };
  const std::vector<Case> cases = {
      // 6 and 8 are each used as soon as they are defined: the previous
      // string plus its own first byte.
      {"next free code", 7, {{4, 3}, {1, 3}, {2, 3}, {6, 3}, {8, 4}, {5, 4}}, 255,
       {1, 2, 1, 2, 1, 2, 1}},
      {"clear code in the middle", 5,
       {{4, 3}, {3, 3}, {3, 3}, {6, 3}, {4, 4}, {0, 3}, {1, 3}, {5, 3}}, 255,
       {3, 3, 3, 3, 0, 1}},
      {"one-byte blocks", 7, {{4, 3}, {1, 3}, {2, 3}, {6, 3}, {8, 4}, {5, 4}}, 1,
       {1, 2, 1, 2, 1, 2, 1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HandGif g;
    g.width = c.width;
    g.height = 1;
    g.global_entries = 4;
    g.image_data = PackCodes(c.codes, c.block);
    std::vector<int> indexes = c.indexes;
    indexes.resize(c.width);
    std::string path = dir / "codes.gif";
    testsupport::WriteFile(path, BuildGif(g));
    readerrun::Outcome run = ReadGif(path);
    EXPECT_EQ(run.messages, "");
    EXPECT_EQ(run.warnings, 0);
    EXPECT_TRUE(run.pixels.samples == ExpectedRgb(indexes));
    EXPECT_TRUE(run.pixels.samples == DecodeWithGiflib(path).samples);
  }

  // A giflib stream cut into blocks of 1, 2 and 3 bytes: codes straddle
  // every block boundary and must still come out whole.
  GiflibPicture p;
  p.palette_size = 256;
  std::string path = dir / "source.gif";
  ASSERT_TRUE(WriteWithGiflib(path, p));
  std::string file = testsupport::ReadFile(path);
  std::size_t data_at = 6 + 7 + 3 * 256 + 10;  // header, screen, table, descriptor
  ASSERT_EQ(file[data_at - 10], ',');
  std::string stream;
  std::size_t at = data_at + 1;
  while (static_cast<unsigned char>(file[at]) != 0) {
    std::size_t length = static_cast<unsigned char>(file[at]);
    stream += file.substr(at + 1, length);
    at += 1 + length;
  }
  std::string expected = DecodeWithGiflib(path).samples;
  for (std::size_t block : {1, 2, 3}) {
    SCOPED_TRACE("block " + std::to_string(block));
    std::string reblocked;
    for (std::size_t i = 0; i < stream.size(); i += block) {
      std::string piece = stream.substr(i, block);
      reblocked += static_cast<char>(piece.size()) + piece;
    }
    reblocked += '\0';
    std::string rewritten = file.substr(0, data_at + 1) + reblocked + file.substr(at + 1);
    testsupport::WriteFile(dir / "reblocked.gif", rewritten);
    readerrun::Outcome run = ReadGif(dir / "reblocked.gif");
    EXPECT_EQ(run.warnings, 0) << run.messages;
    EXPECT_TRUE(run.pixels.samples == expected);
  }
}

TEST(GifReader, DamagedImageDataStillGiveAFullPicture) {
  TempDir dir;
  struct Case {
    const char* name;
    unsigned width, height;
    std::vector<std::pair<int, int>> codes;
    std::vector<int> indexes;
    const char* printed;  // only the first warning of a run is shown
    bool interlaced = false;
  };
  const std::vector<Case> cases = {
      {"end code early", 4, 2, {{4, 3}, {1, 3}, {2, 3}, {5, 3}}, {1, 2, 0, 0, 0, 0, 0, 0},
       "Premature end of GIF image\n"},
      // 16 bits exactly, then the zero-length block: 5 of 8 pixels.
      {"data run out", 4, 2, {{4, 3}, {1, 3}, {2, 3}, {3, 3}, {6, 4}}, {1, 2, 3, 1, 2, 0, 0, 0},
       "Ran out of GIF bits\n"},
      // 7 is beyond the next free code 6: taken as 0 after the first byte.
      {"code beyond next free", 4, 1, {{4, 3}, {1, 3}, {7, 3}, {2, 3}}, {1, 1, 1, 2},
       "Corrupt data in GIF file\n"},
      {"string right after clear", 2, 1, {{4, 3}, {6, 3}, {1, 3}}, {0, 1},
       "Corrupt data in GIF file\n"},
      // After the bad 7 (read as 0, giving 1 1) the table holds 6 = "1 1" and
      // the previous code is 0; the next 7 is the next free code, so it is
      // the previous string plus the first byte of the string last decoded:
      // 0 1, not the 0 0 the table is about to store.
      {"next free code after a bad one", 5, 1, {{4, 3}, {1, 3}, {7, 3}, {7, 3}}, {1, 1, 1, 0, 1},
       "Corrupt data in GIF file\n"},
      // Whole rows after the end: they are filled, not decoded.
      {"rows after the end", 2, 4, {{4, 3}, {1, 3}, {2, 3}, {5, 3}}, {1, 2, 0, 0, 0, 0, 0, 0},
       "Premature end of GIF image\n"},
      // Stored rows 0 and 1 hold display rows 0 and 4; the others are filled.
      {"interlaced rows after the end", 2, 5, {{4, 3}, {1, 3}, {2, 3}, {1, 3}, {3, 4}, {5, 4}},
       {1, 2, 0, 0, 0, 0, 0, 0, 1, 3}, "Premature end of GIF image\n", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HandGif g;
    g.width = c.width;
    g.height = c.height;
    g.interlaced = c.interlaced;
    g.image_data = PackCodes(c.codes);
    std::string path = dir / "damaged.gif";
    testsupport::WriteFile(path, BuildGif(g));
    readerrun::Outcome run = ReadGif(path);
    EXPECT_TRUE(run.finished);
    EXPECT_EQ(run.messages, c.printed);
    EXPECT_GT(run.warnings, 0);
    EXPECT_EQ(run.pixels.height, static_cast<int>(c.height));
    EXPECT_TRUE(run.pixels.samples == ExpectedRgb(c.indexes));
  }
}

TEST(GifReader, IndexesNeverReachPastTheColourMap) {
  TempDir dir;
  // A 2-entry table read with code size 2: index 3 was never loaded.
  HandGif short_table;
  short_table.width = 2;
  short_table.global_entries = 2;
  short_table.image_data = PackCodes({{4, 3}, {3, 3}, {1, 3}});
  // No table at all: every entry reads black.
  HandGif no_table = short_table;
  no_table.global_entries = 0;
  // Code size 9: literals run to 511 and keep their low 8 bits (300 -> 44),
  // whether rows are streamed or held for interlacing.
  HandGif wide;
  wide.width = 1;
  wide.height = 2;
  wide.code_size = 9;
  wide.image_data = PackCodes({{512, 10}, {300, 10}, {45, 10}});
  HandGif wide_interlaced = wide;
  wide_interlaced.interlaced = true;

  struct Case {
    const char* name;
    HandGif gif;
    std::vector<int> indexes;
  };
  for (const Case& c : std::vector<Case>{{"short table", short_table, {-1, 1}},
                                         {"no table", no_table, {-1, -1}},
                                         {"code size 9", wide, {44, 45}},
                                         {"code size 9 interlaced", wide_interlaced, {44, 45}}}) {
    SCOPED_TRACE(c.name);
    testsupport::WriteFile(dir / "map.gif", BuildGif(c.gif));
    readerrun::Outcome run = ReadGif(dir / "map.gif");
    EXPECT_TRUE(run.finished) << run.messages;
    EXPECT_EQ(run.warnings, 0);
    EXPECT_TRUE(run.pixels.samples == ExpectedRgb(c.indexes));
  }
  // The entry value 1 of the short table is its own colour, not black.
  EXPECT_NE(ExpectedRgb({1}), ExpectedRgb({-1}));
}

TEST(GifReader, TracesAndWarningsSayWhatTheyFound) {
  TempDir dir;
  const std::string pixel = PackCodes({{4, 3}, {1, 3}, {5, 3}});
  HandGif extended;
  extended.global_entries = 4;
  extended.image_data = pixel;
  extended.before_image = std::string("!\xF9\x04\x00\x00\x00\x00\x00", 8) + "!\xFE\x02hi" +
                          std::string(1, '\0');
  HandGif odd = extended;
  odd.version = "87b";
  odd.aspect = 17;
  odd.before_image = "";
  HandGif stray = extended;
  stray.before_image = std::string("!\xFE\x01x\x00\x00", 6);  // a zero byte too many

  testsupport::WriteFile(dir / "extended.gif", BuildGif(extended));
  readerrun::Outcome traced = ReadGif(dir / "extended.gif", 1);
  EXPECT_EQ(traced.messages,
            "Ignoring GIF extension block of type 0xf9\n"
            "Ignoring GIF extension block of type 0xfe\n"
            "1x1x4 GIF image\n");
  EXPECT_EQ(traced.warnings, 0);
  EXPECT_EQ(ReadGif(dir / "extended.gif").messages, "");  // traces need a trace level

  testsupport::WriteFile(dir / "odd.gif", BuildGif(odd));
  readerrun::Outcome odd_run = ReadGif(dir / "odd.gif", 1);
  EXPECT_EQ(odd_run.messages,
            "Warning: unexpected GIF version number '87b'\n"
            "Caution: nonsquare pixels in input\n"
            "1x1x4 GIF image\n");
  EXPECT_EQ(odd_run.warnings, 0);
  EXPECT_TRUE(odd_run.pixels.samples == ExpectedRgb({1}));

  testsupport::WriteFile(dir / "stray.gif", BuildGif(stray));
  readerrun::Outcome stray_run = ReadGif(dir / "stray.gif");
  EXPECT_EQ(stray_run.messages, "Bogus char 0x00 in GIF file, ignoring\n");
  EXPECT_EQ(stray_run.warnings, 1);
  EXPECT_TRUE(stray_run.pixels.samples == ExpectedRgb({1}));
}

TEST(GifReader, MalformedFilesStopWithTheirMessage) {
  TempDir dir;
  HandGif good;
  good.width = 4;
  good.height = 2;
  good.global_entries = 8;
  good.image_data = PackCodes({{4, 3}, {1, 3}, {2, 3}, {3, 3}, {1, 4}, {2, 4}, {3, 4},
                               {1, 4}, {2, 4}, {5, 4}});
  const std::string whole = BuildGif(good);
  const std::size_t image_at = 6 + 7 + 24;    // the ',' of the image descriptor
  const std::size_t data_at = image_at + 11;  // first block length
  HandGif zero_width = good;
  zero_width.width = 0;
  HandGif code_size_1 = good;
  code_size_1.code_size = 1;
  HandGif code_size_12 = good;
  code_size_12.code_size = 12;
  HandGif open_extension = good;
  open_extension.before_image = "!\xFE\x05" "abc";

  const std::string eof = "Premature end of input file\n";
  struct Case {
    const char* name;
    std::string bytes;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"empty", "", "Not a GIF file\n"},
      {"short header", "GIF8", "Not a GIF file\n"},
      {"wrong signature", "JIF89a" + whole.substr(6), "Not a GIF file\n"},
      {"cut in screen descriptor", whole.substr(0, 9), eof},
      {"cut in colour table", whole.substr(0, 20), eof},
      {"only a trailer", whole.substr(0, image_at) + ";", "Too few images in GIF file\n"},
      {"nothing after the tables", whole.substr(0, image_at), eof},
      {"cut in an extension", BuildGif(open_extension).substr(0, image_at + 6), eof},
      {"cut in image descriptor", whole.substr(0, image_at + 5), eof},
      {"cut before code size", whole.substr(0, image_at + 10), eof},
      {"cut before a block length", whole.substr(0, data_at), eof},
      {"cut inside a block", whole.substr(0, data_at + 2), eof},
      {"code size 1", BuildGif(code_size_1), "Bogus GIF codesize 1\n"},
      {"code size 12", BuildGif(code_size_12), "Bogus GIF codesize 12\n"},
      {"zero width", BuildGif(zero_width), "Empty JPEG image (DNL not supported)\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::WriteFile(dir / "bad.gif", c.bytes);
    readerrun::Outcome run = ReadGif(dir / "bad.gif");
    EXPECT_FALSE(run.finished);
    EXPECT_EQ(run.messages, c.message);
  }
  // The untouched file reads cleanly, so each cut above is what failed.
  testsupport::WriteFile(dir / "good.gif", whole);
  readerrun::Outcome run = ReadGif(dir / "good.gif");
  EXPECT_TRUE(run.finished) << run.messages;
  EXPECT_EQ(run.warnings, 0);
  EXPECT_TRUE(run.pixels.samples == ExpectedRgb({1, 2, 3, 1, 2, 3, 1, 2}));
}

// --- through the command ----------------------------------------------------

using Outcome = cjpegoracle::CommandOutcome;
constexpr auto Cjpeg = &cjpegoracle::RunCjpegCapturing;

TEST(GifCommand, WritesWhatTheBareLibraryWritesForPillowsPixels) {
  TempDir dir;
  const char* script =
      "import sys\n"
      "from PIL import Image\n"
      "w, h = 83, 61\n"
      "im = Image.new('RGB', (w, h))\n"
      "im.putdata([((x * 3) & 255, (y * 4) & 255, ((x + y) * 2) & 255) for y in range(h) for x in range(w)])\n"
      "p = im.quantize(colors=256)\n"
      "p.save(sys.argv[1] + '/plain.gif', interlace=0)\n"
      "p.save(sys.argv[1] + '/interlaced.gif')\n";
  auto made = testsupport::RunPython(script, {dir.path()});
  ASSERT_EQ(made.exit_code, 0) << made.err;
  for (const char* name : {"plain.gif", "interlaced.gif"}) {
    SCOPED_TRACE(name);
    cjpegoracle::Pixels pixels = cjpegoracle::DecodeWithPillow(dir / name, 3);
    ASSERT_EQ(pixels.width, 83) << pixels.samples;
    for (int quality : {100, 75}) {
      std::string out = dir / "out.jpg";
      Outcome run = quality == 100
                        ? Cjpeg({"cjpeg.exe", "-quality", "100", dir / name, out})
                        : Cjpeg({"cjpeg", dir / name, out});
      EXPECT_EQ(run.result, 0) << run.err;
      cjpegoracle::OracleOptions options;
      options.quality = quality;
      EXPECT_TRUE(testsupport::ReadFile(out) == cjpegoracle::CompressLikeCjpeg(pixels, options));
    }
  }
}

TEST(GifCommand, EarlyEndWarnsAndCutFileFails) {
  TempDir dir;
  HandGif early;
  early.width = 16;
  early.height = 16;
  early.image_data = PackCodes({{4, 3}, {1, 3}, {2, 3}, {5, 3}});
  testsupport::WriteFile(dir / "early.gif", BuildGif(early));
  Outcome warned = Cjpeg({"cjpeg", dir / "early.gif", dir / "early.jpg"});
  EXPECT_EQ(warned.result, 2);
  EXPECT_EQ(warned.err, "Premature end of GIF image\n");
  // Full size: the missing pixels are entry 0.
  std::vector<int> indexes(256, 0);
  indexes[0] = 1;
  indexes[1] = 2;
  cjpegoracle::Pixels pixels{16, 16, 3, ExpectedRgb(indexes)};
  EXPECT_TRUE(testsupport::ReadFile(dir / "early.jpg") == cjpegoracle::CompressLikeCjpeg(pixels));

  std::string whole = BuildGif(early);
  testsupport::WriteFile(dir / "cut.gif", whole.substr(0, whole.size() - 4));
  Outcome cut = Cjpeg({"cjpeg", dir / "cut.gif", dir / "cut.jpg"});
  EXPECT_EQ(cut.result, 1);
  EXPECT_EQ(cut.err, "Premature end of input file\n");

  Outcome again = Cjpeg({"cjpeg", dir / "early.gif", dir / "again.jpg"});
  EXPECT_EQ(again.result, 2);
  EXPECT_TRUE(testsupport::ReadFile(dir / "again.jpg") == testsupport::ReadFile(dir / "early.jpg"));
}

}  // namespace
