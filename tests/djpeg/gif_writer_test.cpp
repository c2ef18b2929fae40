// The GIF writer: the file layout and colour table, the pixels as giflib
// decodes them, and the LZW code stream itself (widths, clear codes at a
// full table, the 12-bit cap, sub-block lengths).
#include <gtest/gtest.h>

#include <random>

#include "converter_support.h"
#include "djwriters_helpers.h"
#include "test_support.h"

namespace {

using namespace djwriters;
using testsupport::TempDir;

// What every GIF we write must satisfy, whatever its pixels.
void ExpectWellFormedStream(const std::string& file) {
  ASSERT_GE(file.size(), 13u);
  EXPECT_EQ(file.substr(0, 6), "GIF87a");
  LzwStream stream = WalkLzwStream(file);
  ASSERT_TRUE(stream.ok) << "no end code";
  ASSERT_FALSE(stream.block_lengths.empty());
  for (std::size_t i = 0; i + 1 < stream.block_lengths.size(); ++i)
    ASSERT_EQ(stream.block_lengths[i], 255) << "block " << i;
  EXPECT_GE(stream.block_lengths.back(), 1);
  EXPECT_LE(stream.block_lengths.back(), 255);
  EXPECT_EQ(stream.bytes_after_terminator, 1u);
  EXPECT_TRUE(stream.ends_with_trailer);

  const unsigned clear = 1u << stream.initial_code_size;
  ASSERT_EQ(stream.codes.front().value, clear);
  for (std::size_t i = 0; i < stream.codes.size(); ++i) {
    const LzwCode& code = stream.codes[i];
    ASSERT_LE(code.width, 12);
    // A code may name a string already known, or the one being defined now.
    if (code.value != clear && code.value != clear + 1) {
      ASSERT_LE(code.value, code.table_size) << "code " << i;
    }
    // Clear codes come only at the start and when the table is full.
    if (i > 0 && code.value == clear) {
      ASSERT_EQ(code.table_size, 4096u) << "code " << i;
    }
  }
}

TEST(GifWriter, UnquantizedGrayKeepsTheSamples) {
  struct Case {
    const char* name;
    const char* mode;
    int width, height;
    std::vector<std::string> switches;
    DecodeSettings reference;
  } cases[] = {
      {"gray file", "L", 641, 7, {"-gif"}, DecodeSettings()},
      {"1x1", "L", 1, 1, {"-g"}, DecodeSettings()},
      {"colour file, -grayscale", "RGB", 40, 30, {"-GIF", "-gr"}, DecodeSettings().Grayscale()},
  };
  TempDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    MakeJpeg(dir / "in.jpg", c.mode, c.width, c.height, "smooth", "quality=90, progressive=True");
    std::vector<std::string> arguments = c.switches;
    arguments.insert(arguments.end(), {dir / "in.jpg", dir / "out.gif"});
    WriterOutcome run = RunDjpegWith(arguments);
    ASSERT_EQ(run.result, 0) << run.messages;
    const std::string file = testsupport::ReadFile(dir / "out.gif");
    ExpectWellFormedStream(file);

    EXPECT_EQ(Word(file, 6), unsigned(c.width));
    EXPECT_EQ(Word(file, 8), unsigned(c.height));
    EXPECT_EQ(static_cast<unsigned char>(file[10]), 0xF7);
    LzwStream stream = WalkLzwStream(file);
    EXPECT_EQ(stream.initial_code_size, 8);
    EXPECT_EQ(stream.codes.front().value, 256u);
    EXPECT_EQ(stream.codes.front().width, 9);
    EXPECT_EQ(stream.codes.back().value, 257u);

    GiflibPicture gif = ReadWithGiflib(dir / "out.gif");
    ASSERT_TRUE(gif.ok);
    ASSERT_EQ(gif.colour_table.size(), 256u);
    for (int i = 0; i < 256; ++i) {
      const auto level = static_cast<std::uint8_t>(i);
      ASSERT_EQ(gif.colour_table[i], (Rgb{level, level, level})) << i;
    }
    EXPECT_EQ(gif.indexes, DecodeReference(dir / "in.jpg", c.reference).samples);
    if (std::string(c.mode) == "L") {
      EXPECT_EQ(gif.indexes, ReadWithPillow(dir / "in.jpg").pixels);
    }
  }
}

// The table holds the library's map, then all-zero entries up to a power of two.
TEST(GifWriter, QuantizedTableAndIndexesFollowTheLibrary) {
  TempDir dir;
  const std::string two_colour_map = dir / "map.gif", three_colour_map = dir / "map.ppm";
  testsupport::WriteFile(two_colour_map, std::string("GIF87a\x01\x00\x01\x00\x80\x00\x00"  // 2-entry table
                                                     "\x10\x20\x30\xF0\xE0\xD0",
                                                     19));
  const std::vector<Rgb> two_colours = {{0x10, 0x20, 0x30}, {0xF0, 0xE0, 0xD0}};
  testsupport::WriteFile(three_colour_map, "P3\n3 1\n255\n250 10 10 10 250 10 10 10 250\n");
  const std::vector<Rgb> three_colours = {{250, 10, 10}, {10, 250, 10}, {10, 10, 250}};

  struct Case {
    std::vector<std::string> switches;
    DecodeSettings reference;   // what the writer should have made of them
    const std::vector<Rgb>* map;
    int flags;                  // -1: depends on the colours the library chose
    int initial_code_size;      // 0: as many bits as the table needs
  } cases[] = {
      {{"-gif"}, DecodeSettings().Colors(256), nullptr, -1, 0},  // forced to 256
      {{"-gif", "-colors", "1000"}, DecodeSettings().Colors(256), nullptr, -1, 0},
      {{"-gif", "-fast"}, DecodeSettings().Fast().Colors(216), nullptr, 0xF7, 8},
      {{"-gif", "-colors", "20", "-onepass"}, DecodeSettings().Colors(20).OnePass(), nullptr, -1, 0},
      {{"-gif", "-colors", "12", "-dither", "ordered"}, DecodeSettings().Colors(12).Dither(JDITHER_ORDERED), nullptr,
       -1, 0},
      {{"-gif", "-grayscale", "-colors", "2"}, DecodeSettings().Grayscale().Colors(2), nullptr, 0x80, 2},
      {{"-gif", "-grayscale", "-colors", "3"}, DecodeSettings().Grayscale().Colors(3), nullptr, 0x91, 2},
      {{"-g", "-gr", "-colors", "7", "-dither", "none"}, DecodeSettings().Grayscale().Colors(7).Dither(JDITHER_NONE),
       nullptr, 0xA2, 3},
      {{"-gif", "-map", two_colour_map}, DecodeSettings(), &two_colours, 0x80, 2},
      {{"-gif", "-map", three_colour_map}, DecodeSettings(), &three_colours, 0x91, 2},
      {{"-gif", "-scale", "1/8"}, DecodeSettings().Colors(256).Scale(8), nullptr, -1, 0},
  };
  const std::string jpeg = dir / "in.jpg", out = dir / "out.gif";
  MakeJpeg(jpeg, "RGB", 203, 77, "noise", "quality=85, subsampling=1");
  bool standalone = false;
  for (const auto& c : cases) {
    std::vector<std::string> arguments = c.switches;
    arguments.insert(arguments.end(), {jpeg, out});
    SCOPED_TRACE(arguments[0] + " " + arguments[1]);
    WriterOutcome run = standalone ? RunDjpegCommand(arguments) : RunDjpegWith(arguments);
    standalone = !standalone;
    ASSERT_EQ(run.result, 0) << run.messages;
    const std::string file = testsupport::ReadFile(out);
    ExpectWellFormedStream(file);

    Decoded reference = DecodeReference(jpeg, c.reference, c.map);
    const std::size_t n = reference.colormap.size();
    ASSERT_GE(n, 1u);
    ASSERT_LE(n, 256u);
    int bits = 1;
    while (n > (std::size_t{1} << bits)) ++bits;
    const int flags = 0x80 | ((bits - 1) << 4) | (bits - 1);
    if (c.flags >= 0) {
      EXPECT_EQ(c.flags, flags);
    }
    EXPECT_EQ(static_cast<unsigned char>(file[10]), flags);
    EXPECT_EQ(WalkLzwStream(file).initial_code_size, c.initial_code_size ? c.initial_code_size : std::max(bits, 2));

    GiflibPicture gif = ReadWithGiflib(out);
    ASSERT_TRUE(gif.ok);
    EXPECT_EQ(gif.width, int(reference.width));
    EXPECT_EQ(gif.height, int(reference.height));
    std::vector<Rgb> table = reference.colormap;
    table.resize(std::size_t{1} << bits, Rgb{0, 0, 0});
    EXPECT_EQ(gif.colour_table, table);
    EXPECT_EQ(gif.indexes, reference.samples);
  }
}

// The same LZW coder fed bytes of our choosing, decoded back by giflib.
TEST(GifWriterLzw, RoundTripsThroughGiflib) {
  struct Case {
    const char* name;
    int width, height;
    Bytes (*make)(std::size_t count);
  } cases[] = {
      {"noise: many clear codes", 512, 96,
       [](std::size_t count) {
         std::mt19937 random(11);
         Bytes bytes(count);
         for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
         return bytes;
       }},
      {"one value: long strings", 1024, 400, [](std::size_t count) { return Bytes(count, 0xA5); }},
      {"ramp of every value", 256, 200,
       [](std::size_t count) {
         Bytes bytes(count);
         for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + i / 256);
         return bytes;
       }},
      {"few values: repeats and collisions", 333, 333,
       [](std::size_t count) {
         std::mt19937 random(5);
         Bytes bytes(count);
         for (auto& b : bytes) b = static_cast<std::uint8_t>(random() % 5 * 60);
         return bytes;
       }},
      {"single pixel", 1, 1, [](std::size_t count) { return Bytes(count, 9); }},
  };
  TempDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    MakeJpeg(dir / "size.jpg", "L", c.width, c.height);
    const Bytes samples = c.make(std::size_t(c.width) * std::size_t(c.height));
    WriterOutcome run = WriteGifSamples(dir / "size.jpg", dir / "out.gif", samples);
    ASSERT_EQ(run.result, 0) << run.messages;
    const std::string file = testsupport::ReadFile(dir / "out.gif");
    ExpectWellFormedStream(file);
    GiflibPicture gif = ReadWithGiflib(dir / "out.gif");
    ASSERT_TRUE(gif.ok);
    EXPECT_EQ(gif.indexes, samples);
  }
}

TEST(GifWriterLzw, TableFillsToFourThousandNinetySixThenClears) {
  TempDir dir;
  MakeJpeg(dir / "size.jpg", "L", 500, 100);
  std::mt19937 random(3);
  Bytes samples(500 * 100);
  for (auto& b : samples) b = static_cast<std::uint8_t>(random());
  ASSERT_EQ(WriteGifSamples(dir / "size.jpg", dir / "out.gif", samples).result, 0);

  LzwStream stream = WalkLzwStream(testsupport::ReadFile(dir / "out.gif"));
  ASSERT_TRUE(stream.ok);
  int clears = 0, widest = 0;
  for (std::size_t i = 0; i < stream.codes.size(); ++i) {
    const LzwCode& code = stream.codes[i];
    widest = std::max(widest, code.width);
    if (code.value != 256) continue;
    ++clears;
    if (i == 0) continue;
    // The clear comes at full width once the table is full; the code after
    // it starts again at 9 bits.
    EXPECT_EQ(code.width, 12);
    EXPECT_EQ(code.table_size, 4096u);
    ASSERT_LT(i + 1, stream.codes.size());
    EXPECT_EQ(stream.codes[i + 1].width, 9);
  }
  EXPECT_EQ(widest, 12);
  // Noise yields about one code per byte: roughly every 3838 codes a clear.
  EXPECT_GE(clears, 1 + 50000 / 4000);
  EXPECT_EQ(ReadWithGiflib(dir / "out.gif").indexes, samples);
}

TEST(GifWriter, FailuresPrintTheirMessageAndLeaveTheNextRunClean) {
  ExpectWriterFailures(CreateGifWriter, "GIF output must be grayscale or RGB");
  TempDir dir;
  MakeJpeg(dir / "rgb.jpg", "RGB", 64, 48, "noise");
  WriterOutcome many = RunWriterClaimingColours(CreateGifWriter, dir / "rgb.jpg", dir / "out", 300);
  EXPECT_EQ(many.result, 1);
  EXPECT_EQ(many.messages, "Output file format cannot handle 300 colormap entries\n");

  WriterOutcome next = RunWriter(CreateGifWriter, dir / "rgb.jpg", dir / "out.gif", {});
  EXPECT_EQ(next.result, 0) << next.messages;
  EXPECT_EQ(ReadWithGiflib(dir / "out.gif").indexes,
            DecodeReference(dir / "rgb.jpg", DecodeSettings().Colors(256)).samples);
}

}  // namespace
