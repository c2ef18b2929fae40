// The -map file reader: GIF colour tables and PPM pixels become the map,
// and every defect fails with its message and leaves the next run clean.
#include <gtest/gtest.h>

#include <csetjmp>
#include <memory>

#include "converter_support.h"
#include "djwriters_helpers.h"
#include "test_support.h"

namespace {

using namespace djwriters;
using testsupport::TempDir;

struct MapOutcome {
  int result = -1;  // 0 read, 1 failed
  std::string messages;
  std::vector<Rgb> colours;
  long bytes_read = 0;  // where the reader left the file
};

struct MapRun {
  ConverterErrorManager manager;
  jpeg_decompress_struct decompressor;
};

// Reads `bytes` as a map file with a fresh decompression object, recovering
// from a fatal error the way a run does.
MapOutcome LoadMap(const std::string& bytes) {
  TempDir dir;
  testsupport::WriteFile(dir / "map", bytes);
  auto run = std::make_unique<MapRun>();
  testsupport::StderrCapture capture;
  j_decompress_ptr d = &run->decompressor;
  d->err = InitConverterErrorManager(&run->manager);
  jpeg_create_decompress(d);
  run->manager.extra_file = std::fopen((dir / "map").c_str(), "rb");
  if (setjmp(run->manager.escape)) {
    jpeg_destroy_decompress(d);
    CloseRunFiles(&run->manager);
    return {1, capture.Finish(), {}, 0};
  }
  LoadColourMapFile(d, run->manager.extra_file);
  MapOutcome outcome{0, capture.Finish(), {}, std::ftell(run->manager.extra_file)};
  for (int i = 0; i < d->actual_number_of_colors; ++i)
    outcome.colours.push_back({d->colormap[0][i], d->colormap[1][i], d->colormap[2][i]});
  jpeg_destroy_decompress(d);
  CloseRunFiles(&run->manager);
  return outcome;
}

// "GIF87a", a 1x1 screen and the flags byte; the table follows.
std::string GifHead(unsigned char flags) {
  return std::string("GIF87a\x01\x00\x01\x00", 10) + static_cast<char>(flags) + std::string("\x00\x00", 2);
}

std::string BinaryPpm(int width, int height, const Bytes& samples) {
  return "P6\n" + std::to_string(width) + " " + std::to_string(height) + "\n255\n" +
         std::string(samples.begin(), samples.end());
}

const char kBadMap[] = "Color map file is invalid or of unsupported format\n";

TEST(ColourMapFile, GifTableEntriesInOrderWithoutDuplicates) {
  // Four entries (flags 0x81), the second repeated as the fourth.
  MapOutcome four = LoadMap(GifHead(0x81) + std::string("\x01\x02\x03\xFF\x00\x80\x00\x00\x00\xFF\x00\x80", 12));
  ASSERT_EQ(four.result, 0) << four.messages;
  EXPECT_EQ(four.colours, (std::vector<Rgb>{{1, 2, 3}, {255, 0, 128}, {0, 0, 0}}));

  // A full table of distinct colours; the image data after it stays unread.
  std::string table;
  std::vector<Rgb> expected;
  for (int i = 0; i < 256; ++i) {
    const Rgb colour = {static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(255 - i),
                        static_cast<std::uint8_t>(i * 3)};
    expected.push_back(colour);
    table.append(colour.begin(), colour.end());
  }
  MapOutcome full = LoadMap(GifHead(0xF7) + table + ",image data that is never looked at");
  ASSERT_EQ(full.result, 0) << full.messages;
  EXPECT_EQ(full.colours, expected);
  EXPECT_EQ(full.bytes_read, 13 + 768);

  // The version is not checked.
  MapOutcome version = LoadMap("GIF89a" + GifHead(0x80).substr(6) + std::string("\x05\x06\x07\x08\x09\x0A", 6));
  EXPECT_EQ(version.colours, (std::vector<Rgb>{{5, 6, 7}, {8, 9, 10}}));
}

TEST(ColourMapFile, PpmPixelsBecomeTheMap) {
  // Text form with comments between the numbers and between samples.
  MapOutcome text = LoadMap("P3\n# a comment\n3 # width\n1\n255\n10 20 30  40 50 60\n#x\n10 20 30\n");
  ASSERT_EQ(text.result, 0) << text.messages;
  EXPECT_EQ(text.colours, (std::vector<Rgb>{{10, 20, 30}, {40, 50, 60}}));

  // Binary: a sample 0x23 ("#") is just a value.
  MapOutcome hash = LoadMap(BinaryPpm(2, 1, {0x23, 0x0A, 0x23, 1, 2, 3}));
  ASSERT_EQ(hash.result, 0) << hash.messages;
  EXPECT_EQ(hash.colours, (std::vector<Rgb>{{0x23, 0x0A, 0x23}, {1, 2, 3}}));

  // 16 x 16 pixels, 256 distinct colours (each twice over two halves).
  Bytes samples;
  std::vector<Rgb> expected;
  for (int i = 0; i < 256; ++i) {
    const Rgb colour = {static_cast<std::uint8_t>(i / 2 % 128), static_cast<std::uint8_t>(i % 2),
                        static_cast<std::uint8_t>(200)};
    samples.insert(samples.end(), colour.begin(), colour.end());
  }
  for (int i = 0; i < 256; ++i) {
    const Rgb colour = {static_cast<std::uint8_t>(samples[3 * i]), samples[3 * i + 1], samples[3 * i + 2]};
    if (std::find(expected.begin(), expected.end(), colour) == expected.end()) expected.push_back(colour);
  }
  MapOutcome square = LoadMap(BinaryPpm(16, 16, samples));
  ASSERT_EQ(square.result, 0) << square.messages;
  EXPECT_EQ(square.colours, expected);
}

TEST(ColourMapFile, TooManyColoursFailsAtTheTwoHundredFiftySeventh) {
  Bytes samples;
  for (int i = 0; i < 257; ++i) samples.insert(samples.end(), {static_cast<std::uint8_t>(i), 0, static_cast<std::uint8_t>(i >> 8)});
  MapOutcome outcome = LoadMap(BinaryPpm(257, 1, samples));
  EXPECT_EQ(outcome.result, 1);
  EXPECT_EQ(outcome.messages, "Cannot quantize to more than 256 colors\n");

  // 256 distinct plus repeats is fine.
  samples.resize(256 * 3);
  samples.insert(samples.end(), {5, 0, 0, 7, 0, 0});
  MapOutcome repeats = LoadMap(BinaryPpm(258, 1, samples));
  EXPECT_EQ(repeats.result, 0) << repeats.messages;
  EXPECT_EQ(repeats.colours.size(), 256u);
}

TEST(ColourMapFile, DefectsAreRefusedWithOneMessage) {
  struct Case {
    const char* name;
    std::string bytes;
  } cases[] = {
      {"empty file", ""},
      {"a BMP", "BM\x36\x00\x00\x00"},
      {"GIF without a global table", GifHead(0x07) + std::string(48, '\x01')},
      {"GIF signature wrong", "GIX87a" + GifHead(0x80).substr(6) + "abcdef"},
      {"GIF header cut short", "GIF87a\x01\x00"},
      {"GIF table cut short", GifHead(0x81) + std::string(11, '\x02')},
      {"PPM maximum 15", "P3\n1 1\n15\n1 2 3\n"},
      {"PPM binary gray", "P5\n1 1\n255\n\x01"},
      {"PPM text gray", "P2\n1 1\n255\n1\n"},
      {"PPM zero width", "P6\n0 1\n255\n"},
      {"PPM zero height", "P3\n1 0\n255\n"},
      {"PPM letters for a size", "P6\nab 1\n255\n"},
      {"PPM header cut short", "P6\n2 2\n"},
      {"PPM pixels cut short", "P6\n2 1\n255\n\x01\x02\x03\x04"},
      {"PPM text pixels cut short", "P3\n2 1\n255\n1 2 3 4 5"},
      {"PPM comment to the end", "P3\n1 1 # nothing follows"},
      {"PPM size beyond any number", "P6\n99999999999999999999 1\n255\n"},
      {"PPM text sample above the maximum", "P3\n1 1\n255\n300 20 30\n"},
      {"no format byte", "P"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    MapOutcome outcome = LoadMap(c.bytes);
    EXPECT_EQ(outcome.result, 1);
    EXPECT_EQ(outcome.messages, kBadMap);
  }
  // The next reading starts clean.
  MapOutcome next = LoadMap(BinaryPpm(1, 1, {9, 8, 7}));
  EXPECT_EQ(next.result, 0) << next.messages;
  EXPECT_EQ(next.colours, (std::vector<Rgb>{{9, 8, 7}}));
}

// A map read from a PPM file drives the quantizer: every pixel written is
// one of its colours, as the library chose them.
TEST(ColourMapFile, PpmMapQuantizesWriterOutput) {
  TempDir dir;
  const std::vector<Rgb> colours = {{0, 0, 0}, {255, 255, 255}, {255, 0, 0}, {0, 128, 255}, {40, 200, 40}};
  Bytes samples;
  for (const Rgb& colour : colours) samples.insert(samples.end(), colour.begin(), colour.end());
  testsupport::WriteFile(dir / "map.ppm", std::string(BinaryPpm(5, 1, samples)));
  MakeJpeg(dir / "in.jpg", "RGB", 50, 40, "noise");

  WriterOutcome run = RunWriter(CreatePpmWriter, dir / "in.jpg", dir / "out.ppm", DecodeSettings().Map(dir / "map.ppm"));
  ASSERT_EQ(run.result, 0) << run.messages;
  Decoded reference = DecodeReference(dir / "in.jpg", DecodeSettings(), &colours);
  Bytes expected;
  for (std::uint8_t index : reference.samples)
    expected.insert(expected.end(), colours.at(index).begin(), colours.at(index).end());
  EXPECT_EQ(ReadWithPillow(dir / "out.ppm").pixels, expected);
}

TEST(ColourMapFileCommand, MapFileReachesTheWrittenMap) {
  TempDir dir;
  MakeJpeg(dir / "in.jpg", "RGB", 40, 24, "noise");
  // Eight table entries, two of them repeats: a six-entry map.
  const std::vector<Rgb> colours = {{0, 0, 0}, {255, 255, 255}, {200, 30, 30}, {30, 200, 30}, {30, 30, 200}, {128, 128, 0}};
  std::string table;
  for (const Rgb& colour : colours) table.append(colour.begin(), colour.end());
  table += std::string("\xC8\x1E\x1E\x00\x00\x00", 6);
  testsupport::WriteFile(dir / "map.gif", GifHead(0x82) + table);

  WriterOutcome run = RunDjpegWith({"-targa", "-map", dir / "map.gif", dir / "in.jpg", dir / "out.tga"});
  ASSERT_EQ(run.result, 0) << run.messages;
  const std::string file = testsupport::ReadFile(dir / "out.tga");
  ASSERT_EQ(file.size(), 18u + 6u * 3u + 40u * 24u);
  EXPECT_EQ(Word(file, 5), 6u);
  std::string bgr;
  for (const Rgb& colour : colours) bgr += {char(colour[2]), char(colour[1]), char(colour[0])};
  EXPECT_EQ(file.substr(18, 18), bgr);
  EXPECT_EQ(ReadWithPillow(dir / "out.tga").rgb, Demapped(DecodeReference(dir / "in.jpg", {}, &colours)));
}

TEST(ColourMapFileCommand, BadMapsEndTheRunWithTheirMessage) {
  TempDir dir;
  MakeJpeg(dir / "in.jpg", "RGB", 16, 16);
  testsupport::WriteFile(dir / "bad.gif", GifHead(0x00));
  Bytes many;
  for (int i = 0; i < 300; ++i) many.insert(many.end(), {std::uint8_t(i), std::uint8_t(i >> 8), 1});
  testsupport::WriteFile(dir / "many.ppm", BinaryPpm(300, 1, many));

  struct Case {
    std::string map;
    std::string message;
  } cases[] = {
      {dir / "bad.gif", kBadMap},
      {dir / "many.ppm", "Cannot quantize to more than 256 colors\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.map);
    for (bool standalone : {false, true}) {
      const std::vector<std::string> arguments = {"-gif", "-map", c.map, dir / "in.jpg", dir / "out.gif"};
      WriterOutcome run = standalone ? RunDjpegCommand(arguments) : RunDjpegWith(arguments);
      EXPECT_EQ(run.result, 1);
      EXPECT_EQ(run.messages, c.message);
    }
  }
  WriterOutcome next = RunDjpegWith({"-gif", dir / "in.jpg", dir / "out.gif"});
  EXPECT_EQ(next.result, 0) << next.messages;
  EXPECT_TRUE(ReadWithGiflib(dir / "out.gif").ok);
}

}  // namespace
