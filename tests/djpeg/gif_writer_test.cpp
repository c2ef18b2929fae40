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
    DecodeSettings settings;
  } cases[] = {
      {"gray file", "L", 641, 7, DecodeSettings()},
      {"1x1", "L", 1, 1, DecodeSettings()},
      {"colour file, -grayscale", "RGB", 40, 30, DecodeSettings().Grayscale()},
  };
  TempDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    MakeJpeg(dir / "in.jpg", c.mode, c.width, c.height);
    WriterOutcome run = RunWriter(CreateGifWriter, dir / "in.jpg", dir / "out.gif", c.settings);
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
    EXPECT_EQ(gif.indexes, DecodeReference(dir / "in.jpg", c.settings).samples);
    if (std::string(c.mode) == "L") {
      EXPECT_EQ(gif.indexes, ReadWithPillow(dir / "in.jpg").pixels);
    }
  }
}

// The table holds the library's map, then all-zero entries up to a power of two.
TEST(GifWriter, QuantizedTableAndIndexesFollowTheLibrary) {
  TempDir dir;
  const std::string two_colour_map = dir / "map.gif";
  testsupport::WriteFile(two_colour_map, std::string("GIF87a\x01\x00\x01\x00\x80\x00\x00"  // 2-entry table
                                                     "\x10\x20\x30\xF0\xE0\xD0",
                                                     19));
  const std::vector<Rgb> map_colours = {{0x10, 0x20, 0x30}, {0xF0, 0xE0, 0xD0}};

  struct Case {
    const char* name;
    DecodeSettings settings;
    DecodeSettings reference;  // what the writer should have made of it
    const std::vector<Rgb>* map;
    int flags;                 // -1: depends on the colours the library chose
    int initial_code_size;     // 0: as many bits as the table needs
  } cases[] = {
      {"no switches: forced to 256", DecodeSettings(), DecodeSettings().Colors(256), nullptr, -1, 0},
      {"colors 1000 lowered to 256", DecodeSettings().Colors(1000), DecodeSettings().Colors(256), nullptr, -1, 0},
      {"fast", DecodeSettings().Fast(), DecodeSettings().Fast().Colors(216), nullptr, 0xF7, 8},
      {"colors 20 onepass", DecodeSettings().Colors(20).OnePass(), DecodeSettings().Colors(20).OnePass(), nullptr,
       -1, 0},
      {"colors 12 dither ordered", DecodeSettings().Colors(12).Dither(JDITHER_ORDERED),
       DecodeSettings().Colors(12).Dither(JDITHER_ORDERED), nullptr, -1, 0},
      {"grayscale colors 2", DecodeSettings().Grayscale().Colors(2), DecodeSettings().Grayscale().Colors(2),
       nullptr, 0x80, 2},
      {"grayscale colors 3", DecodeSettings().Grayscale().Colors(3), DecodeSettings().Grayscale().Colors(3),
       nullptr, 0x91, 2},
      {"map of 2 colours", DecodeSettings().Map(two_colour_map), DecodeSettings(), &map_colours, 0x80, 2},
      {"scale 1/8", DecodeSettings().Scale(8), DecodeSettings().Colors(256).Scale(8), nullptr, -1, 0},
  };
  MakeJpeg(dir / "in.jpg", "RGB", 203, 77, "noise");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriterOutcome run = RunWriter(CreateGifWriter, dir / "in.jpg", dir / "out.gif", c.settings);
    ASSERT_EQ(run.result, 0) << run.messages;
    const std::string file = testsupport::ReadFile(dir / "out.gif");
    ExpectWellFormedStream(file);

    Decoded reference = DecodeReference(dir / "in.jpg", c.reference, c.map);
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

    GiflibPicture gif = ReadWithGiflib(dir / "out.gif");
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
  WriterOutcome next = RunWriter(CreateGifWriter, dir / "rgb.jpg", dir / "out.gif", {});
  EXPECT_EQ(next.result, 0) << next.messages;
  EXPECT_EQ(ReadWithGiflib(dir / "out.gif").indexes,
            DecodeReference(dir / "rgb.jpg", DecodeSettings().Colors(256)).samples);
}

TEST(GifWriterCommand, OutputReadsBackThroughGiflib) {
  TempDir dir;
  const std::string gray = dir / "gray.jpg", colour = dir / "colour.jpg", out = dir / "out.gif";
  MakeJpeg(gray, "L", 641, 9, "smooth", "quality=90, progressive=True");
  MakeJpeg(colour, "RGB", 120, 80, "noise", "quality=85, subsampling=1");
  // A three-colour map: four table entries, the last all zero.
  const std::vector<Rgb> map_colours = {{250, 10, 10}, {10, 250, 10}, {10, 10, 250}};
  testsupport::WriteFile(dir / "map.ppm", "P3\n3 1\n255\n250 10 10 10 250 10 10 10 250\n");

  struct Case {
    std::vector<std::string> switches;
    std::string jpeg;
    DecodeSettings reference;
    const std::vector<Rgb>* map;
    bool standalone;
  } cases[] = {
      {{"-gif"}, gray, DecodeSettings(), nullptr, false},
      {{"-gif"}, colour, DecodeSettings().Colors(256), nullptr, true},
      {{"-colors", "1000", "-gif"}, colour, DecodeSettings().Colors(256), nullptr, false},
      {{"-gif", "-map", dir / "map.ppm"}, colour, DecodeSettings(), &map_colours, true},
      {{"-g", "-gr", "-colors", "7", "-dither", "none"}, colour, DecodeSettings().Grayscale().Colors(7).Dither(JDITHER_NONE),
       nullptr, false},
  };
  for (const auto& c : cases) {
    std::vector<std::string> arguments = c.switches;
    arguments.insert(arguments.end(), {c.jpeg, out});
    SCOPED_TRACE(arguments[0] + " " + arguments[1]);
    WriterOutcome run = c.standalone ? RunDjpegCommand(arguments) : RunDjpegWith(arguments);
    ASSERT_EQ(run.result, 0) << run.messages;
    ExpectWellFormedStream(testsupport::ReadFile(out));

    Decoded reference = DecodeReference(c.jpeg, c.reference, c.map);
    GiflibPicture gif = ReadWithGiflib(out);
    ASSERT_TRUE(gif.ok);
    EXPECT_EQ(gif.indexes, reference.samples);
    std::vector<Rgb> table = reference.colormap;
    if (table.empty()) {
      for (int i = 0; i < 256; ++i) table.push_back({std::uint8_t(i), std::uint8_t(i), std::uint8_t(i)});
    }
    std::size_t entries = 2;
    while (entries < table.size()) entries *= 2;
    table.resize(entries, Rgb{0, 0, 0});
    EXPECT_EQ(gif.colour_table, table);
  }
}

}  // namespace
