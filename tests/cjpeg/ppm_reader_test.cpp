// The PPM/PGM reader on files written by Pillow, ImageMagick and by hand,
// checked against Pillow's reading of the same samples, and on malformed
// files that must each stop with their own message.
#include <gtest/gtest.h>

#include <cstdio>
#include <initializer_list>
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
readerrun::Outcome ReadPpm(const std::string& path, int trace_level = 0) {
  return readerrun::Read(OpenPpmReader, path, trace_level);
}

std::string Samples(std::initializer_list<int> values) {
  std::string out;
  for (int v : values) out += static_cast<char>(v);
  return out;
}

// Every third sample, starting at the first: one channel of an RGB block.
std::string RedChannel(const std::string& rgb) {
  std::string out;
  for (std::size_t i = 0; i < rgb.size(); i += 3) out += rgb[i];
  return out;
}

// One picture in many encodings. Pillow writes the binary maxval-255 files,
// ImageMagick the plain ones and the maxval-15 and 16-bit ones; the
// maxval-1000 files are written here, two bytes per sample most
// significant first, the same numbers in binary and in text.
const char* const kMakePictures = R"PY(
import subprocess, sys, random
from PIL import Image
d = sys.argv[1]
w, h = 29, 17
im = Image.new('RGB', (w, h))
im.putdata([((x * 9) & 255, (y * 15) & 255, (x * y * 3) & 255) for y in range(h) for x in range(w)])
im.save(d + '/rgb255.ppm')
im.convert('L').save(d + '/gray255.pgm')
def magick(*args):
    subprocess.run(['convert'] + list(args), check=True)
magick(d + '/rgb255.ppm', '-compress', 'none', d + '/plain255.ppm')
magick(d + '/gray255.pgm', '-compress', 'none', d + '/plain255.pgm')
magick(d + '/rgb255.ppm', '-depth', '4', d + '/rgb15.ppm')
magick(d + '/gray255.pgm', '-depth', '4', d + '/gray15.pgm')
magick(d + '/rgb255.ppm', '-depth', '16', d + '/rgb65535.ppm')
random.seed(7)
# 300 and 700 fall exactly half-way between two 8-bit values; Pillow rounds
# those to even, the reader rounds them up, so they are left to the hand cases.
values = [random.randint(0, 1000) for _ in range(w * h * 3)]
values = [v + 1 if v in (300, 700) else v for v in values]
values[:6] = [0, 1, 500, 999, 1000, 7]
def text(magic, samples, maxval):
    lines = [' '.join(str(v) for v in samples[i:i + 12]) for i in range(0, len(samples), 12)]
    return ('%s\n# written for a test\n%d %d\n%d\n' % (magic, w, h, maxval) + '\n'.join(lines) + '\n').encode()
def wide(magic, samples):
    return b'%s\n%d %d\n1000\n' % (magic, w, h) + b''.join(bytes([v >> 8, v & 255]) for v in samples)
red = values[0::3]
open(d + '/rgb1000.ppm', 'wb').write(wide(b'P6', values))
open(d + '/gray1000.pgm', 'wb').write(wide(b'P5', red))
open(d + '/plain1000.ppm', 'wb').write(text('P3', values, 1000))
open(d + '/plain1000.pgm', 'wb').write(text('P2', red, 1000))
small = [v % 16 for v in values]
open(d + '/plain15.ppm', 'wb').write(text('P3', small, 15))
open(d + '/plain15.pgm', 'wb').write(text('P2', small[0::3], 15))
)PY";

TEST(PpmReader, EveryEncodingMatchesPillow) {
  TempDir dir;
  auto made = testsupport::RunPython(kMakePictures, {dir.path()});
  ASSERT_EQ(made.exit_code, 0) << made.err;
  ASSERT_EQ(testsupport::ReadFile(dir / "rgb15.ppm").substr(0, 11), "P6\n29 17\n15");
  ASSERT_EQ(testsupport::ReadFile(dir / "rgb65535.ppm").substr(0, 14), "P6\n29 17\n65535");

  // Pillow widens gray samples above maxval 255 to 16 bits, so the two
  // gray maxval-1000 files are held to the red channel of the RGB file
  // that carries the same numbers.
  cjpegoracle::Pixels wide_rgb = cjpegoracle::DecodeWithPillow(dir / "rgb1000.ppm", 3);
  ASSERT_EQ(wide_rgb.width, 29) << wide_rgb.samples;
  struct Case {
    const char* file;
    int components;
    std::string expected;
  };
  std::vector<Case> cases = {
      {"gray1000.pgm", 1, RedChannel(wide_rgb.samples)},
      {"plain1000.pgm", 1, RedChannel(wide_rgb.samples)},
  };
  for (const char* rgb : {"rgb255.ppm", "plain255.ppm", "rgb15.ppm", "plain15.ppm",
                          "rgb65535.ppm", "rgb1000.ppm", "plain1000.ppm"}) {
    cases.push_back({rgb, 3, cjpegoracle::DecodeWithPillow(dir / rgb, 3).samples});
  }
  for (const char* gray : {"gray255.pgm", "plain255.pgm", "gray15.pgm", "plain15.pgm"}) {
    cases.push_back({gray, 1, cjpegoracle::DecodeWithPillow(dir / gray, 1).samples});
  }

  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    ASSERT_EQ(c.expected.size(), 29u * 17u * c.components) << c.expected;
    readerrun::Outcome run = ReadPpm(dir / c.file);
    EXPECT_TRUE(run.finished) << run.messages;
    EXPECT_EQ(run.messages, "");
    EXPECT_EQ(run.warnings, 0);
    EXPECT_EQ(run.pixels.width, 29);
    EXPECT_EQ(run.pixels.height, 17);
    EXPECT_EQ(run.pixels.components, c.components);
    EXPECT_TRUE(run.one_row_per_call);
    EXPECT_TRUE(run.pixels.samples == c.expected);
  }
}

TEST(PpmReader, RescalesAndTakesOverlargeSamplesAsMaxval) {
  TempDir dir;
  struct Case {
    const char* name;
    std::string bytes;
    std::string samples;
  };
  const std::vector<Case> cases = {
      {"maxval 255 passes bytes", std::string("P5 4 1 255\n\x00\x01\x7f\xff", 15),
       Samples({0, 1, 127, 255})},
      {"maxval 15", "P5 3 1 15\n\x0f\x07\xc8", Samples({255, 119, 255})},
      {"maxval 1000, two bytes", std::string("P5 4 1 1000\n\x03\xe8\x01\xf4\x07\xd0\xff\xff", 20),
       Samples({255, 128, 255, 255})},
      // Half-way values round up.
      {"maxval 1000 ties", "P2 2 1 1000\n300 700\n", Samples({77, 179})},
      {"text above maxval", "P2 4 1 15\n20 7 15 99999999999999\n", Samples({255, 119, 255, 255})},
      {"comment between height and maxval", "P2\n2 1\n# maxval next\n255\n1 2\n",
       Samples({1, 2})},
      {"comment right after maxval", "P5\n2 1\n255# raster on the next line\n\x05\x06",
       Samples({5, 6})},
      {"comments inside a text raster", "P3 1 1 255\n10 # red\n20\n#blue\n30", Samples({10, 20, 30})},
      {"tabs and carriage returns", "P2\t2\r\n1\r\n255\r\n4\t5\r\n", Samples({4, 5})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::WriteFile(dir / "in.pnm", c.bytes);
    readerrun::Outcome run = ReadPpm(dir / "in.pnm");
    EXPECT_TRUE(run.finished) << run.messages;
    EXPECT_EQ(run.warnings, 0);
    EXPECT_TRUE(run.pixels.samples == c.samples);
  }
}

TEST(PpmReader, TracesNameTheKindOfFile) {
  TempDir dir;
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"P2 3 2 255\n0 0 0 0 0 0\n", "3x2 text PGM image\n"},
      {"P3 1 2 255\n0 0 0 0 0 0\n", "1x2 text PPM image\n"},
      {std::string("P5 3 2 255\n\0\0\0\0\0\0", 17), "3x2 PGM image\n"},
      {std::string("P6 1 2 255\n\0\0\0\0\0\0", 17), "1x2 PPM image\n"},
  };
  for (const auto& [bytes, trace] : cases) {
    SCOPED_TRACE(trace);
    testsupport::WriteFile(dir / "in.pnm", bytes);
    EXPECT_EQ(ReadPpm(dir / "in.pnm", 1).messages, trace);
    EXPECT_EQ(ReadPpm(dir / "in.pnm", 0).messages, "");
  }
}

TEST(PpmReader, MalformedFilesStopWithTheirMessage) {
  TempDir dir;
  const std::string not_ppm = "Not a PPM file\n";
  const std::string eof = "Premature end of input file\n";
  const std::string nonnumeric = "Nonnumeric data in PPM file\n";
  const std::string too_big = "Maximum supported image dimension is 65500 pixels\n";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", not_ppm},
      {"Q6 1 1 255\n\0\0\0", not_ppm},
      {std::string("P4 8 1\n\x55", 8), not_ppm},
      {"P1 2 1\n0 1\n", not_ppm},
      {"P7\nWIDTH 1\n", not_ppm},
      {"P6 0 1 255\n", not_ppm},
      {"P6 1 0 255\n", not_ppm},
      {"P6 1 1 0\n", not_ppm},
      {"P6 1 1 65536\n\0\0\0\0\0\0", not_ppm},
      // 2^32 + 255 must not wrap round to an acceptable 255.
      {"P6 1 1 4294967551\n\0\0\0", not_ppm},
      {"P6 70000 1 255\n", too_big},
      {"P5 1 4294967297 255\n", too_big},
      {"P6 x 1 255\n", nonnumeric},
      {"P6 1 -1 255\n", nonnumeric},
      {"P3 1 1 255\n1 2 z\n", nonnumeric},
      {"P6", eof},
      {"P6 1 1", eof},
      {"P6 1 1 # a comment to the end of the file", eof},
      {"P6 2 1 255\n\1\2\3", eof},
      {"P6 2 1 1000\n\1\2\3\4\5\6\7\10\11\12\13", eof},
      {"P5 3 1 15\n\1", eof},
      {"P3 1 1 255\n1 2", eof},
      {"P2 2 2 255\n1 2 3\n", eof},
  };
  for (const auto& [bytes, message] : cases) {
    SCOPED_TRACE(bytes);
    testsupport::WriteFile(dir / "bad.pnm", bytes);
    readerrun::Outcome run = ReadPpm(dir / "bad.pnm");
    EXPECT_FALSE(run.finished);
    EXPECT_EQ(run.messages, message);
  }
}

// --- through the command ----------------------------------------------------

using Outcome = cjpegoracle::CommandOutcome;
constexpr auto Cjpeg = &cjpegoracle::RunCjpegCapturing;

TEST(PpmCommand, WritesWhatTheBareLibraryWritesForPillowsPixels) {
  TempDir dir;
  auto made = testsupport::RunPython(kMakePictures, {dir.path()});
  ASSERT_EQ(made.exit_code, 0) << made.err;
  struct Case {
    const char* file;
    int components;
  };
  for (const Case& c : {Case{"rgb255.ppm", 3}, Case{"gray255.pgm", 1}, Case{"plain255.ppm", 3},
                        Case{"rgb15.ppm", 3}, Case{"plain15.pgm", 1}, Case{"rgb1000.ppm", 3}}) {
    SCOPED_TRACE(c.file);
    cjpegoracle::Pixels pixels = cjpegoracle::DecodeWithPillow(dir / c.file, c.components);
    ASSERT_EQ(pixels.width, 29) << pixels.samples;
    Outcome run = Cjpeg({"cjpeg", "-quality", "100", dir / c.file, dir / "out.jpg"});
    EXPECT_EQ(run.result, 0) << run.err;
    cjpegoracle::OracleOptions options;
    options.quality = 100;
    EXPECT_TRUE(testsupport::ReadFile(dir / "out.jpg") ==
                cjpegoracle::CompressLikeCjpeg(pixels, options));
  }

  std::string whole = testsupport::ReadFile(dir / "rgb255.ppm");
  testsupport::WriteFile(dir / "cut.ppm", whole.substr(0, whole.size() - 100));
  Outcome cut = Cjpeg({"cjpeg", dir / "cut.ppm", dir / "cut.jpg"});
  EXPECT_EQ(cut.result, 1);
  EXPECT_EQ(cut.err, "Premature end of input file\n");
  Outcome again = Cjpeg({"cjpeg", dir / "rgb255.ppm", dir / "again.jpg"});
  EXPECT_EQ(again.result, 0) << again.err;
}

}  // namespace
