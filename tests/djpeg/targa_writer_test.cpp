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

TEST(TargaWriter, TrueColourHeaderAndPixels) {
  TempDir dir;
  MakeJpeg(dir / "in.jpg", "RGB", 640, 480, "smooth", "quality=85");
  ASSERT_EQ(RunWriter(CreateTargaWriter, dir / "in.jpg", dir / "out.tga", {}).result, 0);
  const std::string file = testsupport::ReadFile(dir / "out.tga");
  const Bytes header = {0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                        0x00, 0x00, 0x00, 0x80, 0x02, 0xE0, 0x01, 0x18, 0x20};
  ASSERT_EQ(file.size(), 18u + 640u * 480u * 3u);
  EXPECT_EQ(Slice(file, 0, 18), header);

  // Top row first, blue-green-red.
  Decoded reference = DecodeReference(dir / "in.jpg", {});
  EXPECT_EQ(Slice(file, 18, 3), (Bytes{reference.samples[2], reference.samples[1], reference.samples[0]}));
  PillowPicture written = ReadWithPillow(dir / "out.tga");
  EXPECT_EQ(written.mode, "RGB");
  EXPECT_EQ(written.pixels, ReadWithPillow(dir / "in.jpg").pixels);
}

TEST(TargaWriter, GrayscaleIsTypeThreeWithTheSamples) {
  struct Case {
    const char* name;
    const char* mode;
    DecodeSettings settings;
  } cases[] = {
      {"gray file", "L", DecodeSettings()},
      {"colour file, -grayscale", "RGB", DecodeSettings().Grayscale()},
      {"odd width", "L", DecodeSettings()},
  };
  TempDir dir;
  int width = 5;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    MakeJpeg(dir / "in.jpg", c.mode, width, 3);
    ASSERT_EQ(RunWriter(CreateTargaWriter, dir / "in.jpg", dir / "out.tga", c.settings).result, 0);
    const std::string file = testsupport::ReadFile(dir / "out.tga");
    ASSERT_EQ(file.size(), 18u + std::size_t(width) * 3u);
    EXPECT_EQ(file[1], 0);  // no map
    EXPECT_EQ(file[2], 3);
    EXPECT_EQ(Word(file, 12), unsigned(width));
    EXPECT_EQ(Word(file, 14), 3u);
    EXPECT_EQ(file[16], 8);
    EXPECT_EQ(Slice(file, 18, file.size() - 18), DecodeReference(dir / "in.jpg", c.settings).samples);
    PillowPicture written = ReadWithPillow(dir / "out.tga");
    EXPECT_EQ(written.mode, "L");
    width = 641;
  }
}

TEST(TargaWriter, QuantizedColourCarriesTheLibraryMap) {
  struct Case {
    const char* name;
    DecodeSettings settings;
    std::size_t entries;  // 0: whatever the library chose
  } cases[] = {
      {"fast colors 216", DecodeSettings().Fast().Colors(216), 216},
      {"colors 100", DecodeSettings().Colors(100), 0},
      {"onepass dither none", DecodeSettings().Colors(64).OnePass().Dither(JDITHER_NONE), 0},
  };
  TempDir dir;
  MakeJpeg(dir / "in.jpg", "RGB", 97, 31, "noise");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(RunWriter(CreateTargaWriter, dir / "in.jpg", dir / "out.tga", c.settings).result, 0);
    Decoded reference = DecodeReference(dir / "in.jpg", c.settings);
    const std::size_t n = reference.colormap.size();
    if (c.entries != 0) {
      EXPECT_EQ(n, c.entries);
    }

    const std::string file = testsupport::ReadFile(dir / "out.tga");
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

    PillowPicture written = ReadWithPillow(dir / "out.tga");
    EXPECT_EQ(written.mode, "P");
    Bytes demapped;
    for (std::uint8_t index : reference.samples)
      demapped.insert(demapped.end(), reference.colormap[index].begin(), reference.colormap[index].end());
    EXPECT_EQ(written.rgb, demapped);
  }
}

// The file keeps no gray map, so the indexes become the levels they stand for.
TEST(TargaWriter, QuantizedGrayIsWrittenAsLevels) {
  TempDir dir;
  MakeJpeg(dir / "in.jpg", "RGB", 23, 11, "noise");
  const DecodeSettings settings = DecodeSettings().Grayscale().Colors(6);
  ASSERT_EQ(RunWriter(CreateTargaWriter, dir / "in.jpg", dir / "out.tga", settings).result, 0);
  Decoded reference = DecodeReference(dir / "in.jpg", settings);
  ASSERT_EQ(reference.colormap.size(), 6u);
  Bytes levels;
  for (std::uint8_t index : reference.samples) levels.push_back(reference.colormap[index][0]);

  const std::string file = testsupport::ReadFile(dir / "out.tga");
  ASSERT_EQ(file.size(), 18u + 23u * 11u);
  EXPECT_EQ(file[1], 0);
  EXPECT_EQ(file[2], 3);
  EXPECT_EQ(file[16], 8);
  EXPECT_EQ(Slice(file, 18, 23 * 11), levels);
}

TEST(TargaWriter, FailuresPrintTheirMessageAndLeaveTheNextRunClean) {
  ExpectWriterFailures(CreateTargaWriter, "Targa output must be grayscale or RGB");
  TempDir dir;
  MakeJpeg(dir / "rgb.jpg", "RGB", 64, 48, "noise");
  WriterOutcome next = RunWriter(CreateTargaWriter, dir / "rgb.jpg", dir / "out.tga", {});
  EXPECT_EQ(next.result, 0) << next.messages;
  EXPECT_EQ(ReadWithPillow(dir / "out.tga").pixels, ReadWithPillow(dir / "rgb.jpg").pixels);
}

TEST(TargaWriterCommand, OutputEqualsIndependentDecode) {
  struct Case {
    const char* mode;
    int width, height;
    const char* options;
  } cases[] = {
      {"RGB", 641, 5, "quality=90, subsampling=0"},
      {"RGB", 3, 2, "quality=75, subsampling=2, progressive=True"},
      {"L", 2, 9, "quality=90"},
  };
  TempDir dir;
  const std::string jpeg = dir / "in.jpg", out = dir / "out.tga";
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.mode) + " " + std::to_string(c.width));
    MakeJpeg(jpeg, c.mode, c.width, c.height, "smooth", c.options);
    WriterOutcome run = RunDjpegWith({"-targa", jpeg, out});
    ASSERT_EQ(run.result, 0) << run.messages;
    PillowPicture written = ReadWithPillow(out);
    EXPECT_EQ(written.mode, c.mode);
    EXPECT_EQ(written.pixels, ReadWithPillow(jpeg).pixels);
  }
}

TEST(TargaWriterCommand, FastSwitchGivesA216EntryMap) {
  TempDir dir;
  const std::string jpeg = dir / "in.jpg", out = dir / "out.tga";
  MakeJpeg(jpeg, "RGB", 50, 20, "noise");
  WriterOutcome run = RunDjpegCommand({"-targa", "-fast", "-colors", "216", jpeg, out});
  ASSERT_EQ(run.result, 0) << run.messages;
  const std::string file = testsupport::ReadFile(out);
  ASSERT_EQ(file.size(), 18u + 648u + 50u * 20u);
  EXPECT_EQ(file[1], 1);
  EXPECT_EQ(file[2], 1);
  EXPECT_EQ(static_cast<unsigned char>(file[5]), 0xD8);
  EXPECT_EQ(file[6], 0);
  EXPECT_EQ(file[7], 24);
  EXPECT_EQ(file[16], 8);
  Decoded reference = DecodeReference(jpeg, DecodeSettings().Fast().Colors(216));
  EXPECT_EQ(ReadWithPillow(out).rgb, Demapped(reference));
}

TEST(TargaWriterCommand, FailuresEndWithStatusOne) {
  TempDir dir;
  MakeJpeg(dir / "cmyk.jpg", "CMYK", 8, 8);
  MakeJpeg(dir / "rgb.jpg", "RGB", 30, 20);
  WriterOutcome cmyk = RunDjpegCommand({"-targa", dir / "cmyk.jpg", dir / "out.tga"});
  EXPECT_EQ(cmyk.result, 1);
  EXPECT_EQ(cmyk.messages, "Targa output must be grayscale or RGB\n");
  WriterOutcome full = RunDjpegCommand({"-targa", dir / "rgb.jpg", "/dev/full"});
  EXPECT_EQ(full.result, 1);
  EXPECT_EQ(full.messages, "Output file write error --- out of disk space?\n");
}

}  // namespace
