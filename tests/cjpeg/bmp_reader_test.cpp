#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "cjpeg_oracle_helpers.h"
#include "reader_run.h"
#include "test_support.h"

namespace {

using readerrun::Put16;
using readerrun::Put32;
using testsupport::TempDir;

// Bitmaps written by Pillow and ImageMagick, plus variants of Pillow's files
// rewritten without a resolution and top row first. Pillow records 3780
// pixels per metre unless told otherwise.
const char* const kMakePictures = R"PY(
import random, struct, subprocess, sys
from PIL import Image
d = sys.argv[1]
rng = random.Random(11)

def noise(mode, w, h, colours=256):
    im = Image.new(mode, (w, h))
    if mode == 'RGB':
        im.putdata([tuple(rng.randrange(256) for _ in range(3)) for _ in range(w * h)])
    else:
        im.putdata([rng.randrange(colours) for _ in range(w * h)])
    return im

def rewrite(src, dst, no_resolution=False, top_down=False):
    data = bytearray(open(src, 'rb').read())
    if no_resolution:
        data[38:46] = bytes(8)
    if top_down:
        offset, = struct.unpack_from('<I', data, 10)
        w, h = struct.unpack_from('<ii', data, 18)
        bits, = struct.unpack_from('<H', data, 28)
        stride = (w * bits // 8 + 3) & ~3
        rows = [data[offset + i * stride: offset + (i + 1) * stride] for i in range(h)]
        data[offset:offset + h * stride] = b''.join(reversed(rows))
        struct.pack_into('<i', data, 22, -h)
    open(dst, 'wb').write(data)

for w in (1, 2, 3, 4, 5):
    base = '%s/rgb%d.bmp' % (d, w)
    noise('RGB', w, 3).save(base)
    rewrite(base, '%s/rgb%d_plain.bmp' % (d, w), no_resolution=True)
    rewrite(base, '%s/rgb%d_topdown.bmp' % (d, w), top_down=True)
    noise('RGB', w, 4).save('%s/src%d.png' % (d, w))
    subprocess.check_call(['convert', '%s/src%d.png' % (d, w), '-type', 'truecolor',
                           'BMP2:%s/os2rgb%d.bmp' % (d, w)])

short = noise('P', 7, 5, colours=5)
short.putpalette([10, 20, 30, 200, 0, 0, 0, 200, 0, 0, 0, 200, 255, 255, 255])
short.save(d + '/short_map.bmp')
rewrite(d + '/short_map.bmp', d + '/short_map_topdown.bmp', top_down=True)
full = noise('P', 6, 4)
full.putpalette([rng.randrange(256) for _ in range(768)])
full.save(d + '/full_map.bmp')
noise('L', 9, 3).save(d + '/gray.bmp')
subprocess.check_call(['convert', '-size', '21x6', 'xc:', '+noise', 'Random', '-colors', '120',
                       '-type', 'palette', 'BMP2:' + d + '/os2_map.bmp'])
subprocess.check_call(['convert', '-size', '21x6', 'xc:', '+noise', 'Random', '-colors', '120',
                       '-type', 'palette', 'BMP3:' + d + '/rle8.bmp'])
)PY";

class BmpPictures : public readerrun::PictureSuite {
 protected:
  static void SetUpTestSuite() { MakePictures(kMakePictures); }
};

TEST_F(BmpPictures, DeliversThePixelsPillowDecodes) {
  struct Case {
    std::string name;
    int density_unit, density;  // what the JPEG file is to record
  };
  std::vector<Case> cases = {
      {"short_map.bmp", 2, 37}, {"short_map_topdown.bmp", 2, 37},
      {"full_map.bmp", 2, 37},  {"gray.bmp", 2, 37},
      {"os2_map.bmp", 0, 1},
  };
  for (int w = 1; w <= 5; ++w) {
    std::string n = std::to_string(w);
    cases.push_back({"rgb" + n + ".bmp", 2, 37});
    cases.push_back({"rgb" + n + "_plain.bmp", 0, 1});
    cases.push_back({"rgb" + n + "_topdown.bmp", 2, 37});
    cases.push_back({"os2rgb" + n + ".bmp", 0, 1});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto expected = cjpegoracle::DecodeWithPillow(Path(c.name), 3);
    ASSERT_GT(expected.width, 0) << expected.samples;
    auto got = readerrun::Read(OpenBmpReader, Path(c.name));
    ASSERT_TRUE(got.finished) << got.messages;
    EXPECT_EQ(got.messages, "");
    EXPECT_EQ(got.warnings, 0);
    EXPECT_TRUE(got.one_row_per_call);
    EXPECT_EQ(got.pixels.width, expected.width);
    EXPECT_EQ(got.pixels.height, expected.height);
    EXPECT_EQ(got.pixels.components, 3);
    EXPECT_TRUE(got.pixels.samples == expected.samples);
    EXPECT_EQ(got.density_unit, c.density_unit);
    EXPECT_EQ(got.x_density, c.density);
    EXPECT_EQ(got.y_density, c.density);
  }
}

TEST_F(BmpPictures, RunLengthBitmapIsRefused) {
  auto got = readerrun::Read(OpenBmpReader, Path("rle8.bmp"));
  EXPECT_FALSE(got.finished);
  EXPECT_EQ(got.messages, "Sorry, compressed BMPs not yet supported\n");
}

// The same picture through the whole command must give exactly the JPEG file
// the bare library makes of Pillow's pixels, resolution included.
TEST_F(BmpPictures, CommandOutputEqualsLibraryOutput) {
  struct Case {
    std::string name;
    std::vector<std::string> switches;
    int quality;
    int density_unit, density;
  };
  const std::vector<Case> cases = {
      {"rgb5.bmp", {}, 75, 2, 37},
      {"rgb3_topdown.bmp", {"-quality", "100"}, 100, 2, 37},
      {"rgb2_plain.bmp", {}, 75, -1, 1},
      {"short_map.bmp", {"-quality", "90"}, 90, 2, 37},
      {"os2_map.bmp", {}, 75, -1, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string jpeg = readerrun::CompressWithCommand(c.switches, Path(c.name));
    ASSERT_NE(jpeg, "");
    auto pixels = cjpegoracle::DecodeWithPillow(Path(c.name), 3);
    ASSERT_GT(pixels.width, 0) << pixels.samples;
    cjpegoracle::OracleOptions options;
    options.quality = c.quality;
    options.density_unit = c.density_unit;
    options.x_density = options.y_density = c.density;
    EXPECT_TRUE(jpeg == cjpegoracle::CompressLikeCjpeg(pixels, options));
  }
}

// A hand-made bitmap; every field can be set on its own.
struct Bmp {
  unsigned header_size = 40;
  std::int32_t width = 2;
  std::int32_t height = 1;
  unsigned planes = 1;
  unsigned bits = 8;
  std::uint32_t compression = 0;
  std::int32_t x_per_metre = 0;
  std::int32_t y_per_metre = 0;
  std::int32_t colours_used = 0;
  std::string map;     // entries as stored
  std::string gap;     // bytes between the map and the pixels
  std::optional<std::int32_t> data_offset;  // unset: where the pixels really start
  std::string pixels;  // rows as stored, padding included

  std::string Bytes() const {
    std::string b = "BM";                                  // signature
    Put32(b, 0);                                           // file size, ignored
    Put32(b, 0);                                           // reserved
    std::size_t start = 14 + header_size + map.size() + gap.size();
    Put32(b, static_cast<std::uint32_t>(data_offset.value_or(static_cast<std::int32_t>(start))));  // data offset
    Put32(b, header_size);                                 // header size
    if (header_size == 12) {
      Put16(b, static_cast<unsigned>(width));              // width
      Put16(b, static_cast<unsigned>(height));             // height
      Put16(b, planes);                                    // planes
      Put16(b, bits);                                      // bits per pixel
    } else {
      Put32(b, static_cast<std::uint32_t>(width));         // width
      Put32(b, static_cast<std::uint32_t>(height));        // height, negative: top row first
      Put16(b, planes);                                    // planes
      Put16(b, bits);                                      // bits per pixel
      Put32(b, compression);                               // compression
      Put32(b, 0);                                         // image size, ignored
      Put32(b, static_cast<std::uint32_t>(x_per_metre));   // horizontal pixels per metre
      Put32(b, static_cast<std::uint32_t>(y_per_metre));   // vertical pixels per metre
      Put32(b, static_cast<std::uint32_t>(colours_used));  // colours used
      Put32(b, 0);                                         // colours important, ignored
      b.append(header_size - 40, '\0');                    // later header fields, ignored
    }
    return b + map + gap + pixels;
  }
};

// Blue, green, red, unused: four-byte map entries.
std::string Entry4(int r, int g, int b) {
  return {static_cast<char>(b), static_cast<char>(g), static_cast<char>(r), '\0'};
}

std::string Rgb(std::initializer_list<int> samples) {
  std::string s;
  for (int v : samples) s.push_back(static_cast<char>(v));
  return s;
}

readerrun::Outcome ReadBytes(const TempDir& dir, const std::string& bytes) {
  testsupport::WriteFile(dir / "case.bmp", bytes);
  return readerrun::Read(OpenBmpReader, dir / "case.bmp");
}

TEST(BmpReader, HandMadeFilesGiveTheirPixels) {
  TempDir dir;
  Bmp full_map;  // read first, so a short map that is not cleared shows stale entries
  full_map.width = 1;
  full_map.map = std::string(256 * 4, '\xEE');
  full_map.pixels = Rgb({255, 0, 0, 0});

  Bmp short_map;  // two entries loaded; indexes 2 and 255 have none
  short_map.width = 4;
  short_map.colours_used = 2;
  short_map.map = Entry4(1, 2, 3) + Entry4(250, 128, 7);
  short_map.pixels = Rgb({1, 0, 2, 255});

  Bmp gap = short_map;  // a larger data offset skips what lies between
  gap.gap = "junk";

  Bmp os2;  // three-byte entries, always 256 of them
  os2.header_size = 12;
  os2.width = 1;
  os2.height = 2;
  os2.map = std::string(256 * 3, '\0');
  os2.map[3 * 7 + 0] = 9, os2.map[3 * 7 + 1] = 8, os2.map[3 * 7 + 2] = 7;  // entry 7
  os2.pixels = Rgb({0, 0, 0, 0, 7, 0, 0, 0});  // bottom row black, top row entry 7

  Bmp true_colour;  // width 1: three bytes and one of padding per row
  true_colour.bits = 24;
  true_colour.width = 1;
  true_colour.height = 2;
  true_colour.pixels = Rgb({1, 2, 3, 0xEE, 4, 5, 6, 0xEE});

  Bmp top_down = true_colour;
  top_down.height = -2;

  struct Case {
    const char* what;
    Bmp bmp;
    std::string rows;  // top row first
  };
  const Case cases[] = {
      {"full map", full_map, Rgb({0xEE, 0xEE, 0xEE})},
      {"short map", short_map, Rgb({250, 128, 7, 1, 2, 3, 0, 0, 0, 0, 0, 0})},
      {"gap before pixels", gap, Rgb({250, 128, 7, 1, 2, 3, 0, 0, 0, 0, 0, 0})},
      {"12-byte header", os2, Rgb({7, 8, 9, 0, 0, 0})},
      {"bottom-up 24-bit", true_colour, Rgb({6, 5, 4, 3, 2, 1})},
      {"top-down 24-bit", top_down, Rgb({3, 2, 1, 6, 5, 4})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto got = ReadBytes(dir, c.bmp.Bytes());
    ASSERT_TRUE(got.finished) << got.messages;
    EXPECT_EQ(got.messages, "");
    EXPECT_EQ(got.pixels.samples, c.rows);
  }
}

TEST(BmpReader, MalformedFilesStopWithTheirMessage) {
  TempDir dir;
  Bmp good;
  good.colours_used = 1;
  good.map = Entry4(0, 0, 0);
  good.pixels = std::string(4, '\0');
  auto with = [&](auto change) {
    Bmp b = good;
    change(b);
    return b.Bytes();
  };
  auto header_length = [&](unsigned size) {
    std::string b = good.Bytes().substr(0, 14);
    Put32(b, size);
    return b + std::string(80, '\0');
  };
  const std::string bad_length = "Invalid BMP file: bad header length\n";
  const std::string cut = "Premature end of input file\n";
  struct Case {
    const char* what;
    std::string bytes;
    std::string message;
  };
  const Case cases[] = {
      {"signature", "BA" + good.Bytes().substr(2), "Not a BMP file - does not start with BM\n"},
      {"header size 11", header_length(11), bad_length},
      {"header size 13", header_length(13), bad_length},
      {"header size 63", header_length(63), bad_length},
      {"header size 65", header_length(65), bad_length},
      {"header size 108", header_length(108), bad_length},
      {"offset inside the map", with([](Bmp& b) { b.data_offset = 14 + 40 + 2; }), bad_length},
      {"offset inside the header", with([](Bmp& b) { b.data_offset = 20; }), bad_length},
      {"negative offset", with([](Bmp& b) { b.data_offset = -20; }), bad_length},
      {"16 bits", with([](Bmp& b) { b.bits = 16; }), "Only 8- and 24-bit BMP files are supported\n"},
      {"OS/2 4 bits", with([](Bmp& b) { b.header_size = 12; b.bits = 4; }),
       "Only 8- and 24-bit BMP files are supported\n"},
      {"planes", with([](Bmp& b) { b.planes = 2; }), "Invalid BMP file: biPlanes not equal to 1\n"},
      {"OS/2 planes", with([](Bmp& b) { b.header_size = 12; b.planes = 0; }),
       "Invalid BMP file: biPlanes not equal to 1\n"},
      {"compressed", with([](Bmp& b) { b.compression = 1; }),
       "Sorry, compressed BMPs not yet supported\n"},
      {"257 colours", with([](Bmp& b) { b.colours_used = 257; }), "Unsupported BMP colormap format\n"},
      {"width 0", with([](Bmp& b) { b.width = 0; }), "Empty JPEG image (DNL not supported)\n"},
      {"height 0", with([](Bmp& b) { b.height = 0; }), "Empty JPEG image (DNL not supported)\n"},
      {"OS/2 height 0", with([](Bmp& b) { b.header_size = 12; b.height = 0; }),
       "Empty JPEG image (DNL not supported)\n"},
      {"negative width", with([](Bmp& b) { b.width = -2; }),
       "Maximum supported image dimension is 65500 pixels\n"},
      {"huge width", with([](Bmp& b) { b.bits = 24; b.width = 0x7FFFFFFF; }),
       "Maximum supported image dimension is 65500 pixels\n"},
      {"most negative height", with([](Bmp& b) { b.height = INT32_MIN; }),
       "Maximum supported image dimension is 65500 pixels\n"},
      {"file header cut", good.Bytes().substr(0, 10), cut},
      {"info header cut", good.Bytes().substr(0, 30), cut},
      {"map cut", good.Bytes().substr(0, 14 + 40 + 2), cut},
      {"gap cut", with([](Bmp& b) { b.data_offset = 14 + 40 + 4 + 100; }), cut},
      {"rows cut", good.Bytes().substr(0, good.Bytes().size() - 1), cut},
      {"top-down rows cut",
       with([](Bmp& b) { b.height = -3; b.pixels = std::string(9, '\0'); }), cut},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto got = ReadBytes(dir, c.bytes);
    EXPECT_FALSE(got.finished);
    EXPECT_EQ(got.messages, c.message);
  }
}

TEST(BmpReader, TracesEachKindAtLevelOne) {
  TempDir dir;
  Bmp mapped;
  mapped.width = 3;
  mapped.height = 2;
  mapped.colours_used = 1;
  mapped.map = Entry4(0, 0, 0);
  mapped.pixels = std::string(8, '\0');
  Bmp mapped_top_down = mapped;
  mapped_top_down.height = -2;
  Bmp true_colour = mapped;
  true_colour.bits = 24;
  true_colour.map.clear();
  true_colour.pixels = std::string(24, '\0');
  Bmp os2_mapped = mapped;
  os2_mapped.header_size = 12;
  os2_mapped.map = std::string(768, '\0');
  Bmp os2_true_colour = true_colour;
  os2_true_colour.header_size = 12;
  struct Case {
    const Bmp& bmp;
    const char* trace;
  };
  const Case cases[] = {
      {mapped, "3x2 8-bit colormapped BMP image\n"},
      {mapped_top_down, "3x2 8-bit colormapped BMP image\n"},
      {true_colour, "3x2 24-bit BMP image\n"},
      {os2_mapped, "3x2 8-bit colormapped OS2 BMP image\n"},
      {os2_true_colour, "3x2 24-bit OS2 BMP image\n"},
  };
  for (const Case& c : cases) {
    testsupport::WriteFile(dir / "case.bmp", c.bmp.Bytes());
    readerrun::ExpectTraceAtLevelOne(OpenBmpReader, dir / "case.bmp", c.trace);
  }
}

TEST(BmpReader, ResolutionBecomesDotsPerCentimetre) {
  TempDir dir;
  struct Case {
    std::int32_t x, y;
    int unit, x_density, y_density;  // unit 0: the library's 1:1 default kept
  };
  const Case cases[] = {
      {2835, 2835, 2, 28, 28},
      {3780, 7559, 2, 37, 75},
      {100, 100, 2, 1, 1},
      {2835, 0, 0, 1, 1},    // one direction unknown: no resolution
      {-2835, 2835, 0, 1, 1},
      {99, 2835, 0, 1, 1},   // under one dot per centimetre does not fit the field
      {6553500, 6553500, 2, 65535, 65535},
      {6553600, 2835, 0, 1, 1},  // beyond the field: left out, never wrapped
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.x) + " x " + std::to_string(c.y));
    Bmp bmp;
    bmp.bits = 24;
    bmp.width = 1;
    bmp.pixels = std::string(4, '\0');
    bmp.x_per_metre = c.x;
    bmp.y_per_metre = c.y;
    auto got = ReadBytes(dir, bmp.Bytes());
    ASSERT_TRUE(got.finished) << got.messages;
    EXPECT_EQ(got.density_unit, c.unit);
    EXPECT_EQ(got.x_density, c.x_density);
    EXPECT_EQ(got.y_density, c.y_density);
  }
}

// A refused bitmap ends only its own run: the command reports it, returns 1,
// and the next run in the same process works.
TEST(BmpReader, CommandRecoversFromARefusedBitmap) {
  TempDir dir;
  Bmp empty;
  empty.bits = 24;
  empty.width = 0;
  testsupport::WriteFile(dir / "empty.bmp", empty.Bytes());
  Bmp fine;
  fine.bits = 24;
  fine.width = 1;
  fine.height = -1;
  fine.pixels = Rgb({30, 20, 10, 0});
  testsupport::WriteFile(dir / "fine.bmp", fine.Bytes());

  testsupport::StderrCapture capture;
  int refused = testsupport::CallWithArgs(RunCjpeg, {"cjpeg", dir / "empty.bmp", dir / "empty.jpg"});
  int accepted = testsupport::CallWithArgs(RunCjpeg, {"cjpeg", dir / "fine.bmp", dir / "fine.jpg"});
  std::string messages = capture.Finish();
  EXPECT_EQ(refused, 1);
  EXPECT_EQ(accepted, 0);
  EXPECT_EQ(messages, "Empty JPEG image (DNL not supported)\n");
  cjpegoracle::Pixels pixels{1, 1, 3, Rgb({10, 20, 30})};
  EXPECT_TRUE(testsupport::ReadFile(dir / "fine.jpg") == cjpegoracle::CompressLikeCjpeg(pixels));
}

}  // namespace
