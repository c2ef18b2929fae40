// The Targa writer: header bytes, the colour map, pixel order, and the
// pictures as Pillow reads them back.
#include <gtest/gtest.h>

#include "converter_support.h"
#include "djwriters_helpers.h"
#include "test_support.h"

namespace {

using namespace djwriters;
using testsupport::TempDir;

Bytes Slice(const std::string& file, std::size_t from, std::size_t count) {
  return Bytes(file.begin() + static_cast<std::ptrdiff_t>(from),
               file.begin() + static_cast<std::ptrdiff_t>(from + count));
}

TEST(TargaWriter, TrueColourHeaderAndPixelOrder) {
  TempDir dir;
  MakeJpeg(dir / "in.jpg", "RGB", 640, 480, "smooth", "quality=85");
  ASSERT_EQ(RunDjpegWith({"-targa", dir / "in.jpg", dir / "out.tga"}).result, 0);
  const std::string file = testsupport::ReadFile(dir / "out.tga");
  const Bytes header = {0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                        0x00, 0x00, 0x00, 0x80, 0x02, 0xE0, 0x01, 0x18, 0x20};
  ASSERT_EQ(file.size(), 18u + 640u * 480u * 3u);
  EXPECT_EQ(Slice(file, 0, 18), header);

  // Top row first, blue-green-red.
  Decoded reference = DecodeReference(dir / "in.jpg", {});
  EXPECT_EQ(Slice(file, 18, 3), (Bytes{reference.samples[2], reference.samples[1], reference.samples[0]}));
  const std::size_t last = reference.samples.size() - 3;
  EXPECT_EQ(Slice(file, 18 + last, 3),
            (Bytes{reference.samples[last + 2], reference.samples[last + 1], reference.samples[last]}));
}

TEST(TargaWriter, UnquantizedOutputEqualsIndependentDecode) {
  struct Case {
    const char* mode;  // of the JPEG
    int width, height;
    const char* options;
    std::vector<std::string> switches;
    bool gray_output;
  } cases[] = {
      {"RGB", 641, 5, "quality=90, subsampling=0", {"-targa"}, false},
      {"RGB", 3, 2, "quality=75, subsampling=2, progressive=True", {"-t"}, false},
      {"RGB", 1, 1, "quality=90, subsampling=1", {"-TARGA"}, false},
      {"L", 2, 9, "quality=90", {"-targa"}, true},
      {"L", 641, 3, "quality=90, progressive=True", {"-targa"}, true},
      {"RGB", 5, 3, "quality=90", {"-targa", "-grayscale"}, true},
  };
  TempDir dir;
  const std::string jpeg = dir / "in.jpg", out = dir / "out.tga";
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.mode) + " " + std::to_string(c.width) + " " + c.switches.back());
    MakeJpeg(jpeg, c.mode, c.width, c.height, "smooth", c.options);
    std::vector<std::string> arguments = c.switches;
    arguments.insert(arguments.end(), {jpeg, out});
    WriterOutcome run = RunDjpegWith(arguments);
    ASSERT_EQ(run.result, 0) << run.messages;

    const std::string file = testsupport::ReadFile(out);
    ASSERT_EQ(file.size(), 18u + std::size_t(c.width) * c.height * (c.gray_output ? 1 : 3));
    EXPECT_EQ(file[1], 0);  // no map
    EXPECT_EQ(file[2], c.gray_output ? 3 : 2);
    EXPECT_EQ(Word(file, 12), unsigned(c.width));
    EXPECT_EQ(Word(file, 14), unsigned(c.height));
    EXPECT_EQ(file[16], c.gray_output ? 8 : 24);
    EXPECT_EQ(static_cast<unsigned char>(file[17]), 0x20);

    PillowPicture written = ReadWithPillow(out);
    EXPECT_EQ(written.mode, c.gray_output ? "L" : "RGB");
    if (c.gray_output && std::string(c.mode) == "RGB") {
      EXPECT_EQ(written.pixels, DecodeReference(jpeg, DecodeSettings().Grayscale()).samples);
    } else {
      EXPECT_EQ(written.pixels, ReadWithPillow(jpeg).pixels);
    }
  }
}

TEST(TargaWriter, QuantizedColourCarriesTheLibraryMap) {
  struct Case {
    std::vector<std::string> switches;
    DecodeSettings settings;
    std::size_t entries;  // 0: whatever the library chose
  } cases[] = {
      {{"-targa", "-fast", "-colors", "216"}, DecodeSettings().Fast().Colors(216), 216},
      {{"-targa", "-fast"}, DecodeSettings().Fast(), 0},  // -fast alone quantizes nothing
      {{"-targa", "-colors", "100"}, DecodeSettings().Colors(100), 0},
      {{"-targa", "-colors", "64", "-onepass", "-dither", "none"},
       DecodeSettings().Colors(64).OnePass().Dither(JDITHER_NONE), 0},
  };
  TempDir dir;
  const std::string jpeg = dir / "in.jpg", out = dir / "out.tga";
  MakeJpeg(jpeg, "RGB", 97, 31, "noise");
  bool standalone = true;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.switches[1]);
    std::vector<std::string> arguments = c.switches;
    arguments.insert(arguments.end(), {jpeg, out});
    WriterOutcome run = standalone ? RunDjpegCommand(arguments) : RunDjpegWith(arguments);
    standalone = !standalone;
    ASSERT_EQ(run.result, 0) << run.messages;
    Decoded reference = DecodeReference(jpeg, c.settings);
    const std::size_t n = reference.colormap.size();
    if (c.entries != 0) {
      EXPECT_EQ(n, c.entries);
    }
    const std::string file = testsupport::ReadFile(out);
    if (n == 0) {
      EXPECT_EQ(file[2], 2);
      EXPECT_EQ(ReadWithPillow(out).pixels, reference.samples);
      continue;
    }
    ASSERT_EQ(file.size(), 18 + 3 * n + 97 * 31);
    EXPECT_EQ(file[1], 1);
    EXPECT_EQ(file[2], 1);
    EXPECT_EQ(Word(file, 3), 0u);  // first map index
    EXPECT_EQ(Word(file, 5), n);
    EXPECT_EQ(file[7], 24);
    EXPECT_EQ(file[16], 8);
    EXPECT_EQ(static_cast<unsigned char>(file[17]), 0x20);
    Bytes map;
    for (const Rgb& colour : reference.colormap) map.insert(map.end(), {colour[2], colour[1], colour[0]});
    EXPECT_EQ(Slice(file, 18, 3 * n), map);
    EXPECT_EQ(Slice(file, 18 + 3 * n, 97 * 31), reference.samples);

    PillowPicture written = ReadWithPillow(out);
    EXPECT_EQ(written.mode, "P");
    EXPECT_EQ(written.rgb, Demapped(reference));
  }
}

// The file keeps no gray map, so the indexes become the levels they stand for.
TEST(TargaWriter, QuantizedGrayIsWrittenAsLevels) {
  TempDir dir;
  MakeJpeg(dir / "in.jpg", "RGB", 23, 11, "noise");
  ASSERT_EQ(RunDjpegWith({"-targa", "-grayscale", "-colors", "6", dir / "in.jpg", dir / "out.tga"}).result, 0);
  Decoded reference = DecodeReference(dir / "in.jpg", DecodeSettings().Grayscale().Colors(6));
  ASSERT_EQ(reference.colormap.size(), 6u);

  const std::string file = testsupport::ReadFile(dir / "out.tga");
  ASSERT_EQ(file.size(), 18u + 23u * 11u);
  EXPECT_EQ(file[1], 0);
  EXPECT_EQ(file[2], 3);
  EXPECT_EQ(file[16], 8);
  EXPECT_EQ(Slice(file, 18, 23 * 11), Demapped(reference));
}

TEST(TargaWriter, FailuresPrintTheirMessageAndLeaveTheNextRunClean) {
  ExpectWriterFailures(CreateTargaWriter, "Targa output must be grayscale or RGB");
  TempDir dir;
  MakeJpeg(dir / "cmyk.jpg", "CMYK", 8, 8);
  MakeJpeg(dir / "rgb.jpg", "RGB", 64, 48, "noise");
  // The standalone command ends with status 1 on the same failures.
  WriterOutcome cmyk = RunDjpegCommand({"-targa", dir / "cmyk.jpg", dir / "out.tga"});
  EXPECT_EQ(cmyk.result, 1);
  EXPECT_EQ(cmyk.messages, "Targa output must be grayscale or RGB\n");
  WriterOutcome full = RunDjpegCommand({"-targa", dir / "rgb.jpg", "/dev/full"});
  EXPECT_EQ(full.result, 1);
  EXPECT_EQ(full.messages, "Output file write error --- out of disk space?\n");

  WriterOutcome many = RunWriterClaimingColours(CreateTargaWriter, dir / "rgb.jpg", dir / "out", 300);
  EXPECT_EQ(many.result, 1);
  EXPECT_EQ(many.messages, "Output file format cannot handle 300 colormap entries\n");

  WriterOutcome next = RunWriter(CreateTargaWriter, dir / "rgb.jpg", dir / "out.tga", {});
  EXPECT_EQ(next.result, 0) << next.messages;
  EXPECT_EQ(ReadWithPillow(dir / "out.tga").pixels, ReadWithPillow(dir / "rgb.jpg").pixels);
}

}  // namespace
