// BMP output through the decoding command: header fields, row order and
// padding, colour tables of quantized output, resolution, and the pictures
// the writer refuses. Pixels are held to Pillow's decode of the same file,
// quantized ones to the bare library's own quantizer.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "djpeg_oracle_helpers.h"
#include "djwriters_helpers.h"
#include "image_writer.h"
#include "test_support.h"

namespace {

using djpegoracle::BmpFile;
using djpegoracle::ParseBmp;
using djpegoracle::RowsTopDown;
using djwriters::DecodeReference;
using djwriters::DecodeSettings;
using testsupport::TempDir;

struct Outcome {
  int result = -1;
  std::string messages;
};

Outcome Djpeg(const std::vector<std::string>& args) {
  testsupport::StderrCapture capture;
  Outcome run;
  std::vector<std::string> argv = {"djpeg"};
  argv.insert(argv.end(), args.begin(), args.end());
  run.result = testsupport::CallWithArgs(RunDjpeg, argv);
  run.messages = capture.Finish();
  return run;
}

// Settings for the bare library, spelled as statements.
template <typename Change>
DecodeSettings Settings(Change change) {
  DecodeSettings settings;
  change(settings);
  return settings;
}

std::string AsString(const djwriters::Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

// The fixed fields of every file the writer makes, from the picture's size,
// the header variant and whether an 8-bit table is present.
void ExpectLayout(const BmpFile& bmp, std::size_t file_bytes, int width, int height, bool os2, bool table) {
  ASSERT_TRUE(bmp.ok);
  const unsigned bits = table ? 8 : 24;
  const std::uint32_t row_bytes = (static_cast<std::uint32_t>(width) * bits / 8 + 3) / 4 * 4;
  const std::uint32_t header = os2 ? 26 + (table ? 768 : 0) : 54 + (table ? 1024 : 0);
  EXPECT_EQ(bmp.info_size, os2 ? 12u : 40u);
  EXPECT_EQ(bmp.width, width);
  EXPECT_EQ(bmp.height, height);
  EXPECT_EQ(bmp.planes, 1u);
  EXPECT_EQ(bmp.bits_per_pixel, bits);
  EXPECT_EQ(bmp.header_size, header);
  EXPECT_EQ(bmp.file_size, header + row_bytes * static_cast<std::uint32_t>(height));
  EXPECT_EQ(file_bytes, bmp.file_size);
  EXPECT_EQ(bmp.compression, 0u);
  EXPECT_EQ(bmp.image_size, 0u);
  EXPECT_EQ(bmp.colours_used, os2 || !table ? 0u : 256u);
  EXPECT_EQ(bmp.colours_important, 0u);
  // Padding bytes are zero.
  for (int y = 0; y < height; ++y)
    for (std::uint32_t x = static_cast<std::uint32_t>(width) * bits / 8; x < row_bytes; ++x)
      ASSERT_EQ(bmp.pixels[y * row_bytes + x], '\0') << "row " << y << " byte " << x;
}

// The 256-entry table: `map` first, then all-zero entries.
std::string ExpectedTable(const std::vector<djwriters::Rgb>& map, bool os2) {
  std::string table;
  for (std::size_t i = 0; i < 256; ++i) {
    djwriters::Rgb entry = i < map.size() ? map[i] : djwriters::Rgb{0, 0, 0};
    table += static_cast<char>(entry[2]);
    table += static_cast<char>(entry[1]);
    table += static_cast<char>(entry[0]);
    if (!os2) table += '\0';
  }
  return table;
}

std::vector<djwriters::Rgb> GrayRamp() {
  std::vector<djwriters::Rgb> ramp;
  for (int i = 0; i < 256; ++i) {
    const auto level = static_cast<std::uint8_t>(i);
    ramp.push_back({level, level, level});
  }
  return ramp;
}

TEST(BmpWriter, RowsEqualPillowForEveryPictureKind) {
  TempDir dir;
  struct Kind {
    const char* name;
    const char* mode;  // "RGB" or "L"
    int width;
    int height;
    const char* options;  // Pillow's save arguments
  };
  const Kind kinds[] = {
      {"sub420", "RGB", 64, 48, "quality=90, subsampling=2"},
      {"sub422", "RGB", 33, 17, "quality=90, subsampling=1"},
      {"sub444", "RGB", 31, 9, "quality=95, subsampling=0"},
      {"gray", "L", 37, 21, "quality=90"},
      {"progressive", "RGB", 40, 30, "quality=85, progressive=True"},
      {"progressive-gray", "L", 19, 23, "quality=85, progressive=True"},
      {"single", "RGB", 1, 1, "quality=90"},
      {"single-gray", "L", 1, 1, "quality=90"},
      {"width1", "RGB", 1, 9, "quality=90"},
      {"width2", "RGB", 2, 9, "quality=90"},
      {"width3", "RGB", 3, 9, "quality=90"},
      {"width5", "RGB", 5, 9, "quality=90"},
      {"width2-gray", "L", 2, 5, "quality=90"},
      {"width3-gray", "L", 3, 5, "quality=90"},
      {"width641", "RGB", 641, 13, "quality=90"},
  };
  std::vector<djpegoracle::JpegRecipe> recipes;
  std::vector<std::string> paths;
  std::vector<bool> grays;
  for (const auto& kind : kinds) {
    recipes.push_back({dir / (std::string(kind.name) + ".jpg"), kind.mode, kind.width, kind.height, kind.options});
    paths.push_back(recipes.back().path);
    grays.push_back(std::string(kind.mode) == "L");
  }
  djpegoracle::MakeJpegs(recipes);
  // Restart markers: the independent encoders here cannot write them.
  testsupport::WriteFile(dir / "restart.jpg", djpegoracle::MakeJpegWithRestarts(45, 37, 3, 1));
  testsupport::WriteFile(dir / "restart-gray.jpg", djpegoracle::MakeJpegWithRestarts(29, 20, 1, 2));
  paths.insert(paths.end(), {dir / "restart.jpg", dir / "restart-gray.jpg"});
  grays.insert(grays.end(), {false, true});
  const auto pillow = djpegoracle::DecodeWithPillow(paths);

  for (std::size_t i = 0; i < paths.size(); ++i) {
    SCOPED_TRACE(paths[i]);
    ASSERT_FALSE(pillow[i].empty());
    for (const bool os2 : {false, true}) {
      const std::string out = dir / "out.bmp";
      const Outcome run = Djpeg({os2 ? "-os2" : "-bmp", paths[i], out});
      ASSERT_EQ(run.result, 0) << run.messages;
      EXPECT_EQ(run.messages, "");
      const std::string bytes = testsupport::ReadFile(out);
      const BmpFile bmp = ParseBmp(bytes);
      const int samples = grays[i] ? 1 : 3;
      const int width = static_cast<int>(bmp.width);
      ASSERT_GT(width, 0);
      ExpectLayout(bmp, bytes.size(), width, static_cast<int>(pillow[i].size() / samples / width), os2, grays[i]);
      if (grays[i]) {
        EXPECT_EQ(bmp.table, ExpectedTable(GrayRamp(), os2));
      }
      EXPECT_TRUE(RowsTopDown(bmp) == pillow[i]) << (os2 ? "os2" : "windows");
    }
  }
}

TEST(BmpWriter, LargePictureThroughTheCommand) {
  TempDir dir;
  const std::string input = dir / "large.jpg";
  djpegoracle::MakeJpegs({{input, "RGB", 4000, 3000, "quality=90, subsampling=2"}});
  auto child = testsupport::RunProcess({SKERROW_DJPEG_COMMAND, "-bmp", input, dir / "large.bmp"});
  ASSERT_EQ(child.exit_code, 0) << child.err;
  EXPECT_EQ(child.err, "");
  const std::string bytes = testsupport::ReadFile(dir / "large.bmp");
  const BmpFile bmp = ParseBmp(bytes);
  ExpectLayout(bmp, bytes.size(), 4000, 3000, false, false);
  EXPECT_EQ(bytes.size(), 54u + 12000u * 3000u);
  EXPECT_TRUE(RowsTopDown(bmp) == djpegoracle::DecodeWithPillow({input})[0]);
}

struct SwitchCase {
  std::vector<std::string> switches;
  DecodeSettings settings;  // what the same switches ask of the bare library
  bool gray_source = false;
};

TEST(BmpWriter, SwitchedDecodesFollowTheBareLibrary) {
  TempDir dir;
  const std::string colour = dir / "colour.jpg";
  const std::string gray = dir / "gray.jpg";
  djpegoracle::MakeJpegs({{colour, "RGB", 67, 45, "quality=80, subsampling=2"}, {gray, "L", 30, 22, "quality=90"}});

  const SwitchCase cases[] = {
      {{"-colors", "216"}, Settings([](DecodeSettings& s) { s.colors = 216; })},
      {{"-colors", "8", "-onepass"}, Settings([](DecodeSettings& s) { s.colors = 8; s.onepass = true; })},
      {{"-quantize", "16", "-onepass"}, Settings([](DecodeSettings& s) { s.colors = 16; s.onepass = true; })},
      {{"-colors", "64", "-fast"}, Settings([](DecodeSettings& s) { s.colors = 64; s.fast = true; })},
      {{"-fast", "-colours", "64"}, Settings([](DecodeSettings& s) { s.colors = 64; s.fast = true; })},
      {{"-colors", "32", "-dither", "none"}, Settings([](DecodeSettings& s) { s.colors = 32; s.dither = JDITHER_NONE; })},
      {{"-colors", "32", "-dither", "ordered", "-onepass"},
       Settings([](DecodeSettings& s) { s.colors = 32; s.onepass = true; s.dither = JDITHER_ORDERED; })},
      {{"-colors", "100", "-scale", "1/2"}, Settings([](DecodeSettings& s) { s.colors = 100; s.scale_denom = 2; })},
      {{"-grayscale"}, Settings([](DecodeSettings& s) { s.grayscale = true; })},
      {{"-greyscale", "-colors", "8"}, Settings([](DecodeSettings& s) { s.grayscale = true; s.colors = 8; })},
      {{"-colors", "5"}, Settings([](DecodeSettings& s) { s.colors = 5; }), true},
      {{"-colors", "2"}, Settings([](DecodeSettings& s) { s.colors = 2; }), true},
      // Unquantized: 24-bit rows from a different decode.
      {{"-scale", "1/2"}, Settings([](DecodeSettings& s) { s.scale_denom = 2; })},
      {{"-scale", "1/8"}, Settings([](DecodeSettings& s) { s.scale_denom = 8; }), true},
      {{"-fast"}, Settings([](DecodeSettings& s) { s.fast = true; })},  // asks for 216 colours, does not quantize
      {{"-dct", "fast", "-nosmooth"}, Settings([](DecodeSettings& s) { s.fast = true; })},
      {{"-dct", "int"}, DecodeSettings{}},
  };
  for (const auto& c : cases) {
    const std::string& input = c.gray_source ? gray : colour;
    const auto reference = DecodeReference(input, c.settings);
    const bool eight_bit = reference.components == 1;
    for (const bool os2 : {false, true}) {
      SCOPED_TRACE(::testing::PrintToString(c.switches) + (os2 ? " os2" : ""));
      std::vector<std::string> args = {os2 ? "-os2" : "-bmp"};
      args.insert(args.end(), c.switches.begin(), c.switches.end());
      args.insert(args.end(), {input, dir / "out.bmp"});
      const Outcome run = Djpeg(args);
      ASSERT_EQ(run.result, 0) << run.messages;
      const std::string bytes = testsupport::ReadFile(dir / "out.bmp");
      const BmpFile bmp = ParseBmp(bytes);
      ExpectLayout(bmp, bytes.size(), static_cast<int>(reference.width), static_cast<int>(reference.height), os2,
                   eight_bit);
      if (eight_bit) {
        const bool quantized = !reference.colormap.empty();
        EXPECT_EQ(bmp.table, ExpectedTable(quantized ? reference.colormap : GrayRamp(), os2));
      }
      EXPECT_TRUE(RowsTopDown(bmp) == AsString(reference.samples));
    }
  }
}

TEST(BmpWriter, FloatAndUnsmoothedDecodesAreCloseButDifferent) {
  TempDir dir;
  const std::string input = dir / "in.jpg";
  djpegoracle::MakeJpegs({{input, "RGB", 83, 61, "quality=80, subsampling=2"}});
  // Floating-point and smoothing-free decodes stay close to the default one
  // but are not it.
  ASSERT_EQ(Djpeg({"-bmp", input, dir / "plain.bmp"}).result, 0);
  const std::string plain = RowsTopDown(ParseBmp(testsupport::ReadFile(dir / "plain.bmp")));
  const std::vector<std::vector<std::string>> others = {{"-dct", "float"}, {"-nosmooth"}};
  for (const auto& switches : others) {
    SCOPED_TRACE(::testing::PrintToString(switches));
    std::vector<std::string> args = {"-bmp"};
    args.insert(args.end(), switches.begin(), switches.end());
    args.insert(args.end(), {input, dir / "other.bmp"});
    ASSERT_EQ(Djpeg(args).result, 0);
    const std::string rows = RowsTopDown(ParseBmp(testsupport::ReadFile(dir / "other.bmp")));
    ASSERT_EQ(rows.size(), plain.size());
    int largest = 0;
    for (std::size_t i = 0; i < rows.size(); ++i)
      largest = std::max(largest, std::abs(static_cast<unsigned char>(rows[i]) - static_cast<unsigned char>(plain[i])));
    EXPECT_GT(largest, 0);
    EXPECT_LE(largest, 64);
  }
}

TEST(BmpWriter, MapFilesGiveTheirColoursInOrder) {
  TempDir dir;
  const std::string input = dir / "in.jpg";
  djpegoracle::MakeJpegs({{input, "RGB", 41, 29, "quality=90"}});
  // A GIF whose global table holds 4 entries, the last repeating the first.
  const std::string gif_map = std::string("GIF87a") +
                              std::string("\x01\x00\x01\x00", 4) +  // screen 1 x 1
                              std::string("\x81\x00\x00", 3) +      // global table of 4, background, aspect
                              std::string("\xFF\x00\x00" "\x00\x80\x00" "\x10\x20\xF0" "\xFF\x00\x00", 12);
  // A text PPM of 5 pixels, two of them repeats.
  const std::string ppm_map = "P3\n# five pixels\n5 1\n255\n0 0 0  255 255 255  0 0 0  200 100 50  255 255 255\n";
  testsupport::WriteFile(dir / "map.gif", gif_map);
  testsupport::WriteFile(dir / "map.ppm", ppm_map);
  const struct {
    const char* file;
    std::vector<djwriters::Rgb> colours;
  } maps[] = {
      {"map.gif", {{255, 0, 0}, {0, 128, 0}, {16, 32, 240}}},
      {"map.ppm", {{0, 0, 0}, {255, 255, 255}, {200, 100, 50}}},
  };
  for (const auto& map : maps) {
    SCOPED_TRACE(map.file);
    const auto reference = DecodeReference(input, {}, &map.colours);
    ASSERT_EQ(reference.colormap, map.colours);
    const Outcome run = Djpeg({"-bmp", "-map", dir / map.file, input, dir / "out.bmp"});
    ASSERT_EQ(run.result, 0) << run.messages;
    const std::string bytes = testsupport::ReadFile(dir / "out.bmp");
    const BmpFile bmp = ParseBmp(bytes);
    ExpectLayout(bmp, bytes.size(), 41, 29, false, true);
    EXPECT_EQ(bmp.table, ExpectedTable(map.colours, false));
    EXPECT_TRUE(RowsTopDown(bmp) == AsString(reference.samples));
  }
}

TEST(BmpWriter, ResolutionOnlyFromDotsPerCentimetre) {
  TempDir dir;
  djpegoracle::MakeJpegs({{dir / "base.jpg", "RGB", 16, 8, "quality=90"}});
  const std::string base = testsupport::ReadFile(dir / "base.jpg");
  const std::string pillow = djpegoracle::DecodeWithPillow({dir / "base.jpg"})[0];
  const struct {
    int unit, x, y;
    std::uint32_t x_ppm, y_ppm;
    const char* comment;  // a COM marker to carry as well, when not null
  } cases[] = {
      {0, 1, 1, 0, 0, nullptr},          {0, 3, 2, 0, 0, "aspect only"},
      {1, 72, 72, 0, 0, nullptr},        {1, 300, 150, 0, 0, "dots per inch"},
      {2, 28, 28, 2800, 2800, nullptr},  {2, 40, 15, 4000, 1500, "dots per cm"},
      {2, 65535, 1, 6553500, 100, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "unit " << c.unit << " " << c.x << "x" << c.y);
    std::string jpeg = djpegoracle::WithJfifDensity(base, c.unit, c.x, c.y);
    if (c.comment != nullptr) jpeg = djpegoracle::WithSegment(jpeg, 0xFE, c.comment);
    testsupport::WriteFile(dir / "in.jpg", jpeg);
    ASSERT_EQ(Djpeg({"-bmp", dir / "in.jpg", dir / "out.bmp"}).result, 0);
    const BmpFile bmp = ParseBmp(testsupport::ReadFile(dir / "out.bmp"));
    EXPECT_EQ(bmp.x_pixels_per_metre, c.x_ppm);
    EXPECT_EQ(bmp.y_pixels_per_metre, c.y_ppm);
    EXPECT_TRUE(RowsTopDown(bmp) == pillow);
  }
}

TEST(BmpWriter, RefusesWhatItCannotWriteBeforeWritingAnything) {
  TempDir dir;
  djpegoracle::MakeJpegs({{dir / "cmyk.jpg", "CMYK", 12, 10, "quality=90"}, {dir / "rgb.jpg", "RGB", 16, 16, "quality=90"}});
  const std::string rgb = testsupport::ReadFile(dir / "rgb.jpg");
  // Sizes whose file would be larger than the header's 32-bit size field,
  // or wider than the core header's 16-bit fields.
  testsupport::WriteFile(dir / "huge.jpg", djpegoracle::WithFrameSize(rgb, 65500, 65500));
  testsupport::WriteFile(dir / "wide.jpg", djpegoracle::WithFrameSize(rgb, 40000, 16));
  const struct {
    std::vector<std::string> args;
    const char* message;
  } cases[] = {
      {{"-bmp", dir / "cmyk.jpg"}, "BMP output must be grayscale or RGB\n"},
      {{"-os2", dir / "cmyk.jpg"}, "BMP output must be grayscale or RGB\n"},
      {{"-bmp", dir / "huge.jpg"}, "Maximum supported image dimension is 21857 pixels\n"},
      {{"-os2", "-scale", "2/1", dir / "wide.jpg"}, "Maximum supported image dimension is 65535 pixels\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    std::vector<std::string> args = c.args;
    args.push_back(dir / "out.bmp");
    const Outcome run = Djpeg(args);
    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(run.messages, c.message);
    EXPECT_TRUE(testsupport::FileExists(dir / "out.bmp"));
    EXPECT_EQ(testsupport::ReadFile(dir / "out.bmp"), "");
  }
}

}  // namespace
