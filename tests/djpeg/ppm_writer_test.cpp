// The PPM/PGM writer: header text, pixels against Pillow's own decode of the
// same JPEG, quantized output against the bare library, and its failures.
#include <gtest/gtest.h>

#include "converter_support.h"
#include "djpeg_oracle_helpers.h"
#include "djwriters_helpers.h"
#include "test_support.h"

namespace {

using namespace djwriters;
using testsupport::TempDir;

std::string PpmHeader(const char* magic, unsigned width, unsigned height) {
  return std::string(magic) + "\n" + std::to_string(width) + " " + std::to_string(height) + "\n255\n";
}

TEST(PpmWriter, UnquantizedRowsEqualIndependentDecode) {
  struct Case {
    const char* mode;
    int width, height;
    const char* options;  // empty: restart markers, made by the bare library
    std::vector<std::string> switches;
  } cases[] = {
      {"RGB", 1, 1, "quality=90", {}},
      {"RGB", 2, 7, "quality=90, subsampling=2", {"-pnm"}},   // 4:2:0
      {"RGB", 3, 5, "quality=90, subsampling=1", {"-ppm"}},   // 4:2:2
      {"RGB", 5, 3, "quality=95, subsampling=0", {"-PPM"}},   // 4:4:4
      {"RGB", 641, 9, "quality=75, progressive=True", {}},
      {"RGB", 33, 40, "", {}},
      {"L", 1, 1, "quality=90", {"-p"}},
      {"L", 641, 5, "quality=85", {}},
      {"L", 17, 19, "quality=90, progressive=True", {}},
      {"L", 30, 30, "", {}},
  };
  TempDir dir;
  const std::string jpeg = dir / "in.jpg", out = dir / "out.ppm";
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.mode) + " " + std::to_string(c.width) + "x" + std::to_string(c.height) + " " +
                 c.options);
    const bool gray = std::string(c.mode) == "L";
    if (*c.options == '\0')
      testsupport::WriteFile(jpeg, djpegoracle::MakeJpegWithRestarts(c.width, c.height, gray ? 1 : 3, 1));
    else
      MakeJpeg(jpeg, c.mode, c.width, c.height, "smooth", c.options);
    std::vector<std::string> arguments = c.switches;
    arguments.insert(arguments.end(), {jpeg, out});
    WriterOutcome run = RunDjpegWith(arguments);
    ASSERT_EQ(run.result, 0) << run.messages;
    EXPECT_EQ(run.messages, "");

    const std::string file = testsupport::ReadFile(out);
    const std::string header = PpmHeader(gray ? "P5" : "P6", c.width, c.height);
    ASSERT_EQ(file.substr(0, header.size()), header);
    EXPECT_EQ(file.size(), header.size() + std::size_t(c.width) * c.height * (gray ? 1 : 3));

    PillowPicture written = ReadWithPillow(out);
    EXPECT_EQ(written.mode, c.mode);
    EXPECT_EQ(written.pixels, ReadWithPillow(jpeg).pixels);
  }
}

TEST(PpmWriter, ThreeByTwoColourLayout) {
  TempDir dir;
  MakeJpeg(dir / "in.jpg", "RGB", 3, 2);
  ASSERT_EQ(RunWriter(CreatePpmWriter, dir / "in.jpg", dir / "out.ppm", {}).result, 0);
  const std::string file = testsupport::ReadFile(dir / "out.ppm");
  ASSERT_EQ(file.size(), std::string("P6\n3 2\n255\n").size() + 18);
  EXPECT_EQ(file.substr(0, 11), "P6\n3 2\n255\n");
  Decoded reference = DecodeReference(dir / "in.jpg", {});
  EXPECT_EQ(Bytes(file.begin() + 11, file.end()), reference.samples);
}

// Quantized output is written as the colours the indexes stand for. -fast
// alone only picks 216 colours; nothing is quantized then.
TEST(PpmWriter, SwitchesGiveTheLibraryOutputDemapped) {
  struct Case {
    const char* mode;
    std::vector<std::string> switches;
    DecodeSettings settings;
  } cases[] = {
      {"RGB", {"-colors", "16"}, DecodeSettings().Colors(16)},
      {"RGB", {"-grayscale", "-colors", "2"}, DecodeSettings().Grayscale().Colors(2)},
      {"RGB", {"-colours", "8", "-onepass"}, DecodeSettings().Colors(8).OnePass()},
      {"RGB", {"-fast"}, DecodeSettings().Fast()},
      {"RGB", {"-fast", "-colors", "64"}, DecodeSettings().Fast().Colors(64)},
      {"RGB", {"-quantize", "32", "-dither", "none"}, DecodeSettings().Colors(32).Dither(JDITHER_NONE)},
      {"RGB", {"-colors", "27", "-onepass", "-dither", "ordered"},
       DecodeSettings().Colors(27).OnePass().Dither(JDITHER_ORDERED)},
      {"RGB", {"-greyscale", "-colors", "4", "-dither", "ordered", "-onepass"},
       DecodeSettings().Grayscale().Colors(4).Dither(JDITHER_ORDERED).OnePass()},
      {"L", {"-colors", "8"}, DecodeSettings().Colors(8)},
      {"RGB", {"-scale", "1/4", "-colors", "100"}, DecodeSettings().Colors(100).Scale(4)},
      {"RGB", {"-scale", "1/2"}, DecodeSettings().Scale(2)},
      {"RGB", {"-dct", "fast", "-nosmooth"}, DecodeSettings().Dct(JDCT_IFAST).NoSmooth()},
      {"RGB", {"-dct", "float"}, DecodeSettings().Dct(JDCT_FLOAT)},
  };
  TempDir dir;
  const std::string colour = dir / "colour.jpg", gray = dir / "gray.jpg", out = dir / "out.ppm";
  MakeJpeg(colour, "RGB", 61, 37, "noise");
  MakeJpeg(gray, "L", 61, 37, "noise");
  bool standalone = false;
  for (const auto& c : cases) {
    const std::string& jpeg = std::string(c.mode) == "L" ? gray : colour;
    std::vector<std::string> arguments = c.switches;
    arguments.insert(arguments.end(), {jpeg, out});
    SCOPED_TRACE(arguments[0] + " " + arguments[1]);
    // Every other case through the standalone command.
    WriterOutcome run = standalone ? RunDjpegCommand(arguments) : RunDjpegWith(arguments);
    standalone = !standalone;
    ASSERT_EQ(run.result, 0) << run.messages;

    Decoded reference = DecodeReference(jpeg, c.settings);
    ASSERT_EQ(reference.colormap.empty(), c.settings.colors == 0);
    PillowPicture written = ReadWithPillow(out);
    EXPECT_EQ(written.mode, reference.grayscale ? "L" : "RGB");
    EXPECT_EQ(written.width, int(reference.width));
    EXPECT_EQ(written.height, int(reference.height));
    EXPECT_EQ(written.pixels, Demapped(reference));
  }
}

TEST(PpmWriter, LargePictureAsPpmAndTargaEqualsIndependentDecode) {
  TempDir dir;
  const std::string jpeg = dir / "in.jpg";
  MakeJpeg(jpeg, "RGB", 4000, 3000, "blend", "quality=90");
  const Bytes expected = ReadWithPillow(jpeg).pixels;
  ASSERT_EQ(expected.size(), 4000u * 3000u * 3u);

  WriterOutcome run = RunDjpegWith({jpeg, dir / "out.ppm"});
  ASSERT_EQ(run.result, 0) << run.messages;
  const std::string file = testsupport::ReadFile(dir / "out.ppm");
  ASSERT_EQ(file.substr(0, 17), "P6\n4000 3000\n255\n");
  EXPECT_TRUE(Bytes(file.begin() + 17, file.end()) == expected);

  // The Targa writer turns each pixel around to blue, green, red.
  run = RunDjpegWith({"-targa", jpeg, dir / "out.tga"});
  ASSERT_EQ(run.result, 0) << run.messages;
  const std::string targa = testsupport::ReadFile(dir / "out.tga");
  ASSERT_EQ(targa.size(), 18 + expected.size());
  std::size_t mismatches = 0;
  for (std::size_t i = 0; i < expected.size(); i += 3) {
    mismatches += static_cast<unsigned char>(targa[18 + i]) != expected[i + 2] ||
                  static_cast<unsigned char>(targa[18 + i + 1]) != expected[i + 1] ||
                  static_cast<unsigned char>(targa[18 + i + 2]) != expected[i];
  }
  EXPECT_EQ(mismatches, 0u);
}

TEST(PpmWriter, FailuresPrintTheirMessageAndLeaveTheNextRunClean) {
  ExpectWriterFailures(CreatePpmWriter, "PPM output must be grayscale or RGB");
  TempDir dir;
  MakeJpeg(dir / "rgb.jpg", "RGB", 64, 48, "noise");
  WriterOutcome next = RunWriter(CreatePpmWriter, dir / "rgb.jpg", dir / "out.ppm", {});
  EXPECT_EQ(next.result, 0) << next.messages;
  EXPECT_EQ(ReadWithPillow(dir / "out.ppm").pixels, ReadWithPillow(dir / "rgb.jpg").pixels);
}

}  // namespace
