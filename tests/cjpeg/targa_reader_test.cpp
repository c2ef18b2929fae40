#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cjpeg_oracle_helpers.h"
#include "reader_run.h"
#include "test_support.h"

namespace {

using readerrun::Put16;
using readerrun::Put8;
using testsupport::TempDir;

// Targa files from Pillow (every mode it writes, plain and run-length, both
// row orders) and ImageMagick, plus 16-bit files, which neither writes:
// those are laid out here and still decoded by Pillow. Pictures mix noise
// with flat stretches so that run-length files hold both kinds of packet.
const char* const kMakePictures = R"PY(
import random, struct, subprocess, sys
from PIL import Image
d = sys.argv[1]
rng = random.Random(5)

def value(mode, x, y, colours):
    if y % 3 == 1:  # a flat row: long runs
        v = 3 % colours
    else:
        v = rng.randrange(colours)
    if mode == 'RGB':
        return (v, rng.randrange(256), 40) if y % 3 != 1 else (9, 9, 9)
    if mode == 'RGBA':
        return (v, 7, rng.randrange(256), rng.randrange(256)) if y % 3 != 1 else (1, 2, 3, 4)
    return v

def picture(mode, w, h, colours=256):
    im = Image.new(mode, (w, h))
    im.putdata([value(mode, x, y, colours) for y in range(h) for x in range(w)])
    return im

kinds = {'gray': picture('L', 13, 7), 'rgb': picture('RGB', 11, 6), 'rgba': picture('RGBA', 9, 5)}
short = picture('P', 10, 6, colours=6)
short.putpalette([rng.randrange(256) for _ in range(18)])
kinds['shortmap'] = short
full = picture('P', 12, 4)
full.putpalette([rng.randrange(256) for _ in range(768)])
kinds['fullmap'] = full
for name, im in kinds.items():
    for rle in (False, True):
        for top in (False, True):
            options = {'orientation': 1 if top else -1}
            if rle:
                options['compression'] = 'tga_rle'
            im.save('%s/%s%s%s.tga' % (d, name, '_rle' if rle else '', '_top' if top else ''), **options)

def rgb16(w, h, rle, top):
    rows = [[rng.randrange(65536) if y % 2 else 0x1234 for x in range(w)] for y in range(h)]
    header = struct.pack('<BBBHHBHHHHBB', 0, 0, 10 if rle else 2, 0, 0, 0, 0, 0, w, h,
                         16, 0x20 if top else 0)
    body = b''
    for row in rows:
        if rle and row[0] == row[-1] == 0x1234:
            body += bytes([0x80 | (w - 1)]) + struct.pack('<H', 0x1234)
        elif rle:
            body += bytes([w - 1]) + b''.join(struct.pack('<H', v) for v in row)
        else:
            body += b''.join(struct.pack('<H', v) for v in row)
    return header + body

for rle in (False, True):
    for top in (False, True):
        open('%s/rgb16%s%s.tga' % (d, '_rle' if rle else '', '_top' if top else ''), 'wb').write(
            rgb16(7, 5, rle, top))

subprocess.check_call(['convert', '-size', '7x5', 'gradient:', '-depth', '8', '-compress', 'RLE',
                       d + '/im_gray_rle.tga'])
subprocess.check_call(['convert', '-size', '7x5', 'gradient:red-blue', '-colors', '20',
                       '-type', 'palette', d + '/im_mapped.tga'])
subprocess.check_call(['convert', '-size', '7x5', 'gradient:red-blue', '-alpha', 'set',
                       '-channel', 'A', '-evaluate', 'set', '50%', d + '/im_rgba.tga'])
)PY";

// The 5-to-8-bit expansion of 16-bit pixels, as the format is read here.
constexpr int kFiveBit[32] = {0,   8,   16,  25,  33,  41,  49,  58,  66,  74,  82,
                              90,  99,  107, 115, 123, 132, 140, 148, 156, 165, 173,
                              181, 189, 197, 206, 214, 222, 230, 239, 247, 255};

class TargaPictures : public readerrun::PictureSuite {
 protected:
  static void SetUpTestSuite() { MakePictures(kMakePictures); }

  // Pillow's pixels; its 16-bit expansion repeats the top bits, so each
  // channel goes back to its five bits and through the table instead.
  static cjpegoracle::Pixels Expected(const std::string& name) {
    bool gray = name.rfind("gray", 0) == 0 || name.rfind("im_gray", 0) == 0;
    auto pixels = cjpegoracle::DecodeWithPillow(Path(name), gray ? 1 : 3);
    if (name.rfind("rgb16", 0) == 0 && pixels.width > 0)
      for (char& s : pixels.samples)
        s = static_cast<char>(kFiveBit[static_cast<unsigned char>(s) >> 3]);
    return pixels;
  }
};

std::vector<std::string> PictureNames() {
  std::vector<std::string> names = {"im_gray_rle.tga", "im_mapped.tga", "im_rgba.tga"};
  for (const char* kind : {"gray", "rgb", "rgba", "shortmap", "fullmap", "rgb16"})
    for (const char* rle : {"", "_rle"})
      for (const char* top : {"", "_top"})
        names.push_back(std::string(kind) + rle + top + ".tga");
  return names;
}

TEST_F(TargaPictures, DeliversThePixelsPillowDecodes) {
  for (const std::string& name : PictureNames()) {
    SCOPED_TRACE(name);
    auto expected = Expected(name);
    ASSERT_GT(expected.width, 0) << expected.samples;
    auto got = readerrun::Read(OpenTargaReader, Path(name));
    ASSERT_TRUE(got.finished) << got.messages;
    EXPECT_EQ(got.messages, "");
    EXPECT_EQ(got.warnings, 0);
    EXPECT_TRUE(got.one_row_per_call);
    EXPECT_EQ(got.pixels.width, expected.width);
    EXPECT_EQ(got.pixels.height, expected.height);
    EXPECT_EQ(got.pixels.components, expected.components);
    EXPECT_TRUE(got.pixels.samples == expected.samples);
  }
}

// Through the whole command, the JPEG file must be the one the bare library
// makes of the same pixels; with -targa any first byte is taken.
TEST_F(TargaPictures, CommandOutputEqualsLibraryOutput) {
  struct Case {
    std::string name;
    std::vector<std::string> switches;
    int quality;
  };
  const std::vector<Case> cases = {
      {"gray_rle.tga", {}, 75},
      {"rgb_top.tga", {"-quality", "100"}, 100},
      {"shortmap_rle.tga", {"-targa"}, 75},
      {"rgb16.tga", {"-quality", "60"}, 60},
      {"rgba_rle_top.tga", {}, 75},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string jpeg = readerrun::CompressWithCommand(c.switches, Path(c.name));
    ASSERT_NE(jpeg, "");
    cjpegoracle::OracleOptions options;
    options.quality = c.quality;
    EXPECT_TRUE(jpeg == cjpegoracle::CompressLikeCjpeg(Expected(c.name), options));
  }
}

// A hand-made Targa file; every header field can be set on its own.
struct Tga {
  std::string id;
  unsigned map_type = 0;
  unsigned image_type = 3;
  unsigned first_index = 0;
  unsigned map_length = 0;
  unsigned map_bits = 24;
  unsigned width = 2;
  unsigned height = 1;
  unsigned bits = 8;
  unsigned descriptor = 0x20;
  std::string map;     // entries as stored
  std::string pixels;  // as stored, packets included

  std::string Bytes() const {
    std::string b;
    Put8(b, static_cast<unsigned>(id.size()));  // ID length
    Put8(b, map_type);                           // colour-map type
    Put8(b, image_type);                         // image type
    Put16(b, first_index);                       // first colour-map index
    Put16(b, map_length);                        // colour-map length
    Put8(b, map_bits);                           // colour-map entry size
    Put16(b, 0);                                 // x origin, ignored
    Put16(b, 0);                                 // y origin, ignored
    Put16(b, width);                             // width
    Put16(b, height);                            // height
    Put8(b, bits);                               // bits per pixel
    Put8(b, descriptor);                         // row order and interlacing
    return b + id + map + pixels;
  }
};

std::string Bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s.push_back(static_cast<char>(v));
  return s;
}

readerrun::Outcome ReadBytes(const TempDir& dir, const std::string& bytes) {
  testsupport::WriteFile(dir / "case.tga", bytes);
  return readerrun::Read(OpenTargaReader, dir / "case.tga");
}

TEST(TargaReader, HandMadeFilesGiveTheirPixels) {
  TempDir dir;
  Tga fifteen;  // 15 bits read as 16; the top bit is ignored
  fifteen.image_type = 2;
  fifteen.bits = 15;
  fifteen.pixels = Bytes({0xFF, 0x7F, 0x21, 0x84});  // 0x7FFF, 0x8421 = 1,1,1 with top bit
  Tga spanning;  // a run starting in the first row ends in the second
  spanning.image_type = 11;
  spanning.height = 2;
  spanning.pixels = Bytes({0x82, 9, 0x00, 4});  // run of 3, then 1 literal
  Tga bottom_up = spanning;  // same packets, rows stored bottom first
  bottom_up.descriptor = 0;
  Tga full_map;  // read first, so a short map that is not cleared shows stale entries
  full_map.map_type = 1;
  full_map.image_type = 1;
  full_map.map_length = 256;
  full_map.width = 1;
  full_map.map = std::string(256 * 3, '\xEE');
  full_map.pixels = Bytes({255});
  Tga short_map;  // two entries loaded; indexes 2 and 255 have none
  short_map.map_type = 1;
  short_map.image_type = 1;
  short_map.map_length = 2;
  short_map.width = 4;
  short_map.map = Bytes({3, 2, 1, 6, 5, 4});
  short_map.pixels = Bytes({1, 0, 2, 255});
  Tga skipped;  // ID field and an unused map in a true-colour file
  skipped.id = "hello";
  skipped.map_type = 1;
  skipped.map_length = 1;
  skipped.image_type = 2;
  skipped.bits = 32;
  skipped.width = 1;
  skipped.map = Bytes({50, 60, 70});
  skipped.pixels = Bytes({10, 20, 30, 99});
  Tga literal_run = spanning;  // literals run on across the row end too
  literal_run.pixels = Bytes({0x03, 1, 2, 3, 4});

  struct Case {
    const char* what;
    Tga tga;
    std::string rows;  // top row first
  };
  const Case cases[] = {
      {"15 bits", fifteen, Bytes({255, 255, 255, 8, 8, 8})},
      {"run across rows", spanning, Bytes({9, 9, 9, 4})},
      {"bottom-up run across rows", bottom_up, Bytes({9, 4, 9, 9})},
      {"full map", full_map, Bytes({0xEE, 0xEE, 0xEE})},
      {"short map", short_map, Bytes({4, 5, 6, 1, 2, 3, 0, 0, 0, 0, 0, 0})},
      {"ID field and unused map", skipped, Bytes({30, 20, 10})},
      {"literals across rows", literal_run, Bytes({1, 2, 3, 4})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto got = ReadBytes(dir, c.tga.Bytes());
    ASSERT_TRUE(got.finished) << got.messages;
    EXPECT_EQ(got.messages, "");
    EXPECT_EQ(got.warnings, 0);
    EXPECT_EQ(got.pixels.samples, c.rows);
  }
}

// Pixel data that stop early give the full picture, missing bytes as 0xFF,
// and one warning so the run is not taken for a clean one.
TEST(TargaReader, PixelDataEndingEarlyAreFilledAndWarned) {
  TempDir dir;
  Tga plain;
  plain.width = 3;
  plain.height = 2;
  plain.pixels = Bytes({1, 2});
  Tga bottom_up = plain;
  bottom_up.descriptor = 0;
  Tga in_run;  // a run whose pixel is missing
  in_run.image_type = 11;
  in_run.width = 3;
  in_run.pixels = Bytes({0x82});
  struct Case {
    const char* what;
    Tga tga;
    std::string rows;
  };
  const Case cases[] = {
      {"top-down", plain, Bytes({1, 2, 255, 255, 255, 255})},
      {"bottom-up", bottom_up, Bytes({255, 255, 255, 1, 2, 255})},
      {"inside a run", in_run, Bytes({255, 255, 255})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto got = ReadBytes(dir, c.tga.Bytes());
    ASSERT_TRUE(got.finished) << got.messages;
    EXPECT_EQ(got.messages, "Premature end of input file\n");
    EXPECT_EQ(got.warnings, 1);
    EXPECT_EQ(got.pixels.samples, c.rows);
  }

  testsupport::WriteFile(dir / "cut.tga", plain.Bytes());
  testsupport::StderrCapture capture;
  int result = testsupport::CallWithArgs(RunCjpeg, {"cjpeg", dir / "cut.tga", dir / "cut.jpg"});
  EXPECT_EQ(capture.Finish(), "Premature end of input file\n");
  EXPECT_EQ(result, 2);
  cjpegoracle::Pixels filled{3, 2, 1, Bytes({1, 2, 255, 255, 255, 255})};
  EXPECT_TRUE(testsupport::ReadFile(dir / "cut.jpg") == cjpegoracle::CompressLikeCjpeg(filled));
}

TEST(TargaReader, MalformedFilesStopWithTheirMessage) {
  TempDir dir;
  Tga good;
  good.pixels = Bytes({0, 0});
  Tga mapped;
  mapped.map_type = 1;
  mapped.image_type = 1;
  mapped.map_length = 1;
  mapped.map = Bytes({0, 0, 0});
  mapped.pixels = Bytes({0, 0});
  auto with = [](Tga t, auto change) {
    change(t);
    return t.Bytes();
  };
  const std::string invalid = "Invalid or unsupported Targa file\n";
  const std::string bad_map = "Unsupported Targa colormap format\n";
  const std::string cut = "Premature end of input file\n";
  struct Case {
    const char* what;
    std::string bytes;
    std::string message;
  };
  const Case cases[] = {
      {"map type 2", with(good, [](Tga& t) { t.map_type = 2; }), invalid},
      {"0 bits", with(good, [](Tga& t) { t.bits = 0; }), invalid},
      {"12 bits", with(good, [](Tga& t) { t.bits = 12; }), invalid},
      {"40 bits", with(good, [](Tga& t) { t.image_type = 2; t.bits = 40; }), invalid},
      {"interlaced", with(good, [](Tga& t) { t.descriptor = 0x60; }), invalid},
      {"type 0", with(good, [](Tga& t) { t.image_type = 0; }), invalid},
      {"type 4", with(good, [](Tga& t) { t.image_type = 4; }), invalid},
      {"type 12", with(good, [](Tga& t) { t.image_type = 12; }), invalid},
      {"gray of 16 bits", with(good, [](Tga& t) { t.bits = 16; }), invalid},
      {"RGB of 8 bits", with(good, [](Tga& t) { t.image_type = 2; }), invalid},
      {"mapped of 16 bits", with(mapped, [](Tga& t) { t.bits = 16; }), invalid},
      {"mapped without map type", with(mapped, [](Tga& t) { t.map_type = 0; }), invalid},
      {"promised map absent", with(mapped, [](Tga& t) { t.map_length = 0; t.map.clear(); }), invalid},
      {"map of 257", with(mapped, [](Tga& t) { t.map_length = 257; }), bad_map},
      {"first index 1", with(mapped, [](Tga& t) { t.first_index = 1; }), bad_map},
      {"16-bit entries", with(mapped, [](Tga& t) { t.map_bits = 16; }), bad_map},
      {"width 0", with(good, [](Tga& t) { t.width = 0; }), "Empty JPEG image (DNL not supported)\n"},
      {"height 0", with(good, [](Tga& t) { t.height = 0; t.descriptor = 0; }),
       "Empty JPEG image (DNL not supported)\n"},
      {"header cut", good.Bytes().substr(0, 17), cut},
      {"ID field cut", with(good, [](Tga& t) { t.id = "abc"; t.pixels.clear(); }).substr(0, 19), cut},
      {"map cut", mapped.Bytes().substr(0, 20), cut},
      {"packet header missing",
       with(good, [](Tga& t) { t.image_type = 11; t.pixels = Bytes({0x80, 7}); }), cut},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto got = ReadBytes(dir, c.bytes);
    EXPECT_FALSE(got.finished);
    EXPECT_EQ(got.messages, c.message);
  }
}

TEST(TargaReader, TracesEachKindAtLevelOne) {
  TempDir dir;
  Tga gray;
  gray.width = 3;
  gray.height = 2;
  gray.pixels = std::string(6, '\0');
  Tga rgb = gray;
  rgb.image_type = 10;
  rgb.bits = 24;
  rgb.pixels = Bytes({0x85, 1, 2, 3});
  Tga mapped = gray;
  mapped.descriptor = 0;
  mapped.map_type = 1;
  mapped.image_type = 1;
  mapped.map_length = 1;
  mapped.map = Bytes({0, 0, 0});
  struct Case {
    const Tga& tga;
    const char* trace;
  };
  const Case cases[] = {
      {gray, "3x2 grayscale Targa image\n"},
      {rgb, "3x2 RGB Targa image\n"},
      {mapped, "3x2 colormapped Targa image\n"},
  };
  for (const Case& c : cases) {
    testsupport::WriteFile(dir / "case.tga", c.tga.Bytes());
    readerrun::ExpectTraceAtLevelOne(OpenTargaReader, dir / "case.tga", c.trace);
  }
}

}  // namespace
