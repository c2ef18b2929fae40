#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "bomb_pictures.h"
#include "cjpeg_oracle_helpers.h"
#include "pixel_source.h"
#include "test_support.h"

using cjpegoracle::CompressLikeCjpeg;
using cjpegoracle::DecodeWithPillow;
using cjpegoracle::OracleOptions;
using cjpegoracle::Pixels;
using testsupport::CallWithArgs;
using testsupport::FileExists;
using testsupport::ReadFile;
using testsupport::StderrCapture;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

using Outcome = cjpegoracle::CommandOutcome;
constexpr auto Cjpeg = &cjpegoracle::RunCjpegCapturing;

// A busy test picture (gradients and noise) written by Pillow; `mode` is a
// Pillow mode, `format` a Pillow format name.
void MakePicture(const std::string& path, const char* mode, const char* format, int width, int height,
                 const std::string& save_options = "") {
  std::string script =
      "import sys, random\n"
      "from PIL import Image\n"
      "random.seed(7)\n"
      "w, h = int(sys.argv[2]), int(sys.argv[3])\n"
      "im = Image.new('RGB', (w, h))\n"
      "im.putdata([((x * 255) // max(w - 1, 1), (y * 255) // max(h - 1, 1), random.randrange(256))"
      " for y in range(h) for x in range(w)])\n"
      "im = im.convert(sys.argv[4])\n"
      "im.save(sys.argv[1], sys.argv[5]" + save_options + ")\n";
  auto run = testsupport::RunPython(
      script, {path, std::to_string(width), std::to_string(height), mode, format});
  ASSERT_EQ(run.exit_code, 0) << run.err;
}

// What the tests look at in a JPEG file's markers.
struct JpegLayout {
  int frame_marker = 0;          // 0xC0 baseline, 0xC1 extended, 0xC2 progressive
  std::vector<int> sampling;     // per component: h * 10 + v
  std::vector<int> table_slots;  // per component
  int restart_interval = -1;     // -1: no DRI marker
  int scans = 0;
  int density_unit = -1, x_density = 0, y_density = 0;
};

JpegLayout Layout(const std::string& jpeg) {
  JpegLayout layout;
  auto byte = [&](std::size_t i) { return static_cast<unsigned char>(jpeg[i]); };
  auto word = [&](std::size_t i) { return (byte(i) << 8) | byte(i + 1); };
  std::size_t pos = 2;
  while (pos + 4 <= jpeg.size()) {
    if (byte(pos) != 0xFF) {  // entropy-coded data: find the next marker
      ++pos;
      continue;
    }
    int marker = byte(pos + 1);
    if (marker == 0xD9) break;
    if (marker == 0x00 || marker == 0xFF || (marker >= 0xD0 && marker <= 0xD7)) {
      pos += marker == 0xFF ? 1 : 2;
      continue;
    }
    std::size_t length = word(pos + 2);
    if (pos + 2 + length > jpeg.size()) break;
    std::size_t body = pos + 4;
    if (marker == 0xC0 || marker == 0xC1 || marker == 0xC2) {
      layout.frame_marker = marker;
      int components = byte(body + 5);
      for (int c = 0; c < components; ++c) {
        int factors = byte(body + 6 + 3 * c + 1);
        layout.sampling.push_back((factors >> 4) * 10 + (factors & 15));
        layout.table_slots.push_back(byte(body + 6 + 3 * c + 2));
      }
    } else if (marker == 0xDD) {
      layout.restart_interval = word(body);
    } else if (marker == 0xDA) {
      ++layout.scans;
    } else if (marker == 0xE0 && jpeg.compare(body, 5, std::string("JFIF\0", 5)) == 0) {
      layout.density_unit = byte(body + 7);
      layout.x_density = word(body + 8);
      layout.y_density = word(body + 10);
    }
    pos += 2 + length;
  }
  return layout;
}

bool AllOnes(const std::vector<int>& table) {
  if (table.size() != 64) return false;
  for (int v : table) {
    if (v != 1) return false;
  }
  return true;
}

std::size_t OpenDescriptors() { return testsupport::ListDir("/proc/self/fd").size(); }

// One colour and one grayscale picture shared by the tests of a suite.
class CjpegRun : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir;
    MakePicture(*dir_ / "colour.ppm", "RGB", "PPM", 45, 37);
    MakePicture(*dir_ / "gray.pgm", "L", "PPM", 29, 18);
    MakePicture(*dir_ / "pipeline.gif", "P", "GIF", 61, 43);
    WriteFile(*dir_ / "empty", "");
    WriteFile(*dir_ / "r.bin", "R0123456789");  // no reader starts with 'R'
    colour_ = new Pixels(DecodeWithPillow(*dir_ / "colour.ppm", 3));
    gray_ = new Pixels(DecodeWithPillow(*dir_ / "gray.pgm", 1));
  }
  static void TearDownTestSuite() {
    delete colour_;
    delete gray_;
    delete dir_;
  }

  // Runs cjpeg with `switches` on `input` and returns the JPEG it wrote.
  static std::string Encode(const std::vector<std::string>& switches, const std::string& input = "colour.ppm") {
    std::vector<std::string> args = {"cjpeg"};
    args.insert(args.end(), switches.begin(), switches.end());
    args.push_back(*dir_ / input);
    args.push_back(*dir_ / "out.jpg");
    std::remove((*dir_ / "out.jpg").c_str());
    auto outcome = Cjpeg(args);
    EXPECT_EQ(outcome.result, 0) << outcome.err;
    last_err_ = outcome.err;
    return ReadFile(*dir_ / "out.jpg");
  }
  static Pixels Decoded(const std::string& jpeg, int components = 3) {
    WriteFile(*dir_ / "decode.jpg", jpeg);
    return DecodeWithPillow(*dir_ / "decode.jpg", components);
  }

  static TempDir* dir_;
  static Pixels* colour_;
  static Pixels* gray_;
  static inline std::string last_err_;  // what the last Encode printed
};

TempDir* CjpegRun::dir_ = nullptr;
Pixels* CjpegRun::colour_ = nullptr;
Pixels* CjpegRun::gray_ = nullptr;

TEST_F(CjpegRun, WritesWhatTheBareLibraryWrites) {
  ASSERT_EQ(colour_->width, 45) << colour_->samples;
  ASSERT_EQ(gray_->width, 29) << gray_->samples;
  EXPECT_EQ(Encode({}), CompressLikeCjpeg(*colour_));
  EXPECT_EQ(Encode({}, "gray.pgm"), CompressLikeCjpeg(*gray_));

  struct Case {
    std::vector<std::string> switches;
    OracleOptions options;
  } cases[] = {
      {{"-quality", "100"}, {.quality = 100}},
      {{"-quality", "0"}, {.quality = 1}},      // clamped to 1
      {{"-quality", "150"}, {.quality = 100}},  // clamped to 100
      {{"-quality", "99999999999999999999"}, {.quality = 100}},
      {{"-quality", "5"}, {.quality = 5}},
      {{"-quality", "5", "-baseline"}, {.quality = 5, .force_baseline = true}},
      {{"-Q", "30"}, {.quality = 30}},  // abbreviated and upper case
      {{"-dct", "int"}, {}},
      {{"-maxmemory", "4m"}, {}},
      {{"-restart", "0"}, {}},
      {{"-smooth", "0"}, {}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Encode(c.switches), CompressLikeCjpeg(*colour_, c.options)) << c.switches[1];
    // The library's caution about 16-bit tables is a note, not a warning.
    bool coarse = c.options.quality < 25 && !c.options.force_baseline;
    EXPECT_EQ(last_err_, coarse ? "Caution: quantization tables are too coarse for baseline JPEG\n" : "")
        << c.switches[1];
  }
}

TEST_F(CjpegRun, PipelineCallGivesAllOneTables) {
  std::vector<std::string> args = {"cjpeg.exe", "-quality", "100", *dir_ / "pipeline.gif", *dir_ / "p.jpg"};
  auto outcome = Cjpeg(args);
  ASSERT_EQ(outcome.result, 0) << outcome.err;
  std::string jpeg = ReadFile(*dir_ / "p.jpg");
  Pixels pixels = DecodeWithPillow(*dir_ / "pipeline.gif", 3);
  ASSERT_EQ(pixels.width, 61) << pixels.samples;
  EXPECT_EQ(jpeg, CompressLikeCjpeg(pixels, {.quality = 100}));
  auto tables = cjpegoracle::ReadQuantTables(jpeg);
  EXPECT_TRUE(AllOnes(tables[0]));
  EXPECT_TRUE(AllOnes(tables[1]));
}

TEST_F(CjpegRun, BaselineKeepsQuantizersInEightBits) {
  auto extended = cjpegoracle::ReadQuantTables(Encode({"-quality", "5"}));
  auto baseline = cjpegoracle::ReadQuantTables(Encode({"-quality", "5", "-baseline"}));
  EXPECT_GT(*std::max_element(extended[0].begin(), extended[0].end()), 255);
  EXPECT_EQ(*std::max_element(baseline[0].begin(), baseline[0].end()), 255);
  EXPECT_EQ(Layout(Encode({"-quality", "5"})).frame_marker, 0xC1);
  EXPECT_EQ(Layout(Encode({"-quality", "5", "-b"})).frame_marker, 0xC0);
}

TEST_F(CjpegRun, SwitchesShapeTheFile) {
  const std::string plain = Encode({});
  const Pixels plain_pixels = Decoded(plain);
  ASSERT_GT(plain_pixels.width, 0) << plain_pixels.samples;

  // Same coefficients, other packaging: the decoded pixels do not change.
  for (std::vector<std::string> same : {std::vector<std::string>{"-optimize"}, {"-OPTIMISE"},
                                        {"-progressive"}, {"-restart", "1"}, {"-restart", "2b"}}) {
    std::string jpeg = Encode(same);
    EXPECT_NE(jpeg, plain) << same[0];
    EXPECT_EQ(Decoded(jpeg).samples, plain_pixels.samples) << same[0];
  }
  EXPECT_LT(Encode({"-optimize"}).size(), plain.size());
  EXPECT_EQ(Layout(Encode({"-progressive"})).frame_marker, 0xC2);
  EXPECT_GT(Layout(Encode({"-progressive"})).scans, 1);
  EXPECT_EQ(Layout(plain).restart_interval, -1);
  EXPECT_EQ(Layout(Encode({"-restart", "1"})).restart_interval, 3);  // 45 pixels: three 16-wide MCUs
  EXPECT_EQ(Layout(Encode({"-restart", "2b"})).restart_interval, 2);
  EXPECT_EQ(Layout(Encode({"-restart", "7B"})).restart_interval, 7);
  EXPECT_EQ(Layout(Encode({"-restart", "65535b"})).restart_interval, 65535);

  // Other arithmetic or filtering: other pixels, same picture size.
  for (std::vector<std::string> other : {std::vector<std::string>{"-dct", "fast"}, {"-dct", "fl"},
                                         {"-smooth", "100"}}) {
    Pixels pixels = Decoded(Encode(other));
    EXPECT_EQ(pixels.samples.size(), plain_pixels.samples.size()) << other[1];
    EXPECT_NE(pixels.samples, plain_pixels.samples) << other[1];
  }

  JpegLayout gray = Layout(Encode({"-grayscale"}));
  EXPECT_EQ(gray.sampling.size(), 1u);
  EXPECT_EQ(Decoded(Encode({"-gr"}), 1).width, 45);
  EXPECT_EQ(Encode({"-greyscale"}), Encode({"-grayscale"}));

  EXPECT_EQ(Layout(plain).sampling, (std::vector<int>{22, 11, 11}));
  EXPECT_EQ(Layout(Encode({"-sample", "1x1"})).sampling, (std::vector<int>{11, 11, 11}));
  EXPECT_EQ(Layout(Encode({"-sample", "2x1,1x1,1x1"})).sampling, (std::vector<int>{21, 11, 11}));
  EXPECT_EQ(Layout(plain).table_slots, (std::vector<int>{0, 1, 1}));
  EXPECT_EQ(Layout(Encode({"-qslots", "0"})).table_slots, (std::vector<int>{0, 0, 0}));
  std::string three;
  for (int i = 0; i < 3 * 64; ++i) three += std::to_string(1 + i % 50) + "\n";
  WriteFile(*dir_ / "three.txt", three);
  JpegLayout slotted = Layout(Encode({"-qslots", "1,0,2", "-qtables", *dir_ / "three.txt"}));
  EXPECT_EQ(slotted.table_slots, (std::vector<int>{1, 0, 2}));
}

TEST_F(CjpegRun, TableFilesAndScanScripts) {
  std::string text = "# one table\n";
  for (int i = 0; i < 64; ++i) text += std::to_string(16 + i) + " ";
  WriteFile(*dir_ / "one.txt", text);
  auto slot0 = [](const std::string& jpeg) { return cjpegoracle::ReadQuantTables(jpeg)[0]; };
  std::vector<int> written, halved;
  for (int i = 0; i < 64; ++i) {
    written.push_back(16 + i);
    halved.push_back(((16 + i) * 50 + 50) / 100);
  }
  EXPECT_EQ(slot0(Encode({"-qtables", *dir_ / "one.txt"})), written);
  // The table file is read after the scan, so the order does not matter.
  EXPECT_EQ(slot0(Encode({"-quality", "75", "-qt", *dir_ / "one.txt"})), halved);
  EXPECT_EQ(slot0(Encode({"-qtables", *dir_ / "one.txt", "-quality", "75"})), halved);
  // Slot 1 keeps the quality's chrominance table.
  EXPECT_EQ(cjpegoracle::ReadQuantTables(Encode({"-qtables", *dir_ / "one.txt"}))[1],
            cjpegoracle::ReadQuantTables(Encode({}))[1]);

  WriteFile(*dir_ / "scans.txt", "0 1 2: 0 0 0 0;\n0: 1 63 0 0;\n1: 1 63 0 0;\n2: 1 63 0 0;\n");
  std::string scripted = Encode({"-scans", *dir_ / "scans.txt"});
  EXPECT_EQ(Layout(scripted).scans, 4);
  EXPECT_EQ(Layout(scripted).frame_marker, 0xC2);
  // A script replaces the sequence -progressive made.
  EXPECT_EQ(Encode({"-progressive", "-scans", *dir_ / "scans.txt"}), scripted);
  EXPECT_EQ(Decoded(scripted).samples, Decoded(Encode({})).samples);
}

TEST_F(CjpegRun, OutfileDensityAndMemoryLimit) {
  std::remove((*dir_ / "named.jpg").c_str());
  auto outcome = Cjpeg({"cjpeg", "-outfile", *dir_ / "named.jpg", *dir_ / "colour.ppm"});
  EXPECT_EQ(outcome.result, 0) << outcome.err;
  EXPECT_EQ(ReadFile(*dir_ / "named.jpg"), CompressLikeCjpeg(*colour_));

  // A BMP's resolution travels into the JPEG file, in dots per centimetre.
  MakePicture(*dir_ / "res.bmp", "RGB", "BMP", 20, 10, ", dpi=(72, 72)");
  Pixels bmp = DecodeWithPillow(*dir_ / "res.bmp", 3);
  std::string jpeg = Encode({}, "res.bmp");
  JpegLayout layout = Layout(jpeg);
  EXPECT_EQ(layout.density_unit, 2);
  EXPECT_EQ(layout.x_density, 28);
  EXPECT_EQ(jpeg, CompressLikeCjpeg(bmp, {.density_unit = 2, .x_density = 28, .y_density = 28}));

  // The BMP reader holds the whole picture (here 300x200x3 bytes) in a
  // library array, which must fit under the limit: this library has no
  // temporary-file spill. The limit counts thousands, or millions with 'm'.
  MakePicture(*dir_ / "big.bmp", "RGB", "BMP", 300, 200);
  for (const char* enough : {"2m", "2M", "2000", "2000k"}) {
    EXPECT_EQ(Encode({"-maxmemory", enough}, "big.bmp"), Encode({}, "big.bmp")) << enough;
  }
  auto tight = Cjpeg({"cjpeg", "-maxm", "100", *dir_ / "big.bmp", *dir_ / "tight.jpg"});
  EXPECT_EQ(tight.result, 1);
  EXPECT_EQ(tight.err, "Backing store not supported\n");
}

TEST_F(CjpegRun, BadSwitchesAreRefusedSilently) {
  const std::string input = *dir_ / "colour.ppm";
  const std::string output = *dir_ / "refused.jpg";
  const std::vector<std::vector<std::string>> refused = {
      {"-x"}, {"-"}, {"-s"}, {"-g"}, {"-m"}, {"-verbosee"}, {"-out", "a"},
      {"-quality"}, {"-quality", "abc"}, {"-q", "-"},
      {"-restart", "65536"}, {"-restart", "-1"}, {"-restart", "x"}, {"-smooth", "101"},
      {"-smooth", "-1"}, {"-smooth", "x"}, {"-dct", "foo"}, {"-dct", "f"}, {"-dct"},
      {"-maxmemory", "k"}, {"-maxmemory", "99999999999999999m"},
  };
  for (const auto& switches : refused) {
    std::vector<std::string> args = {"cjpeg"};
    args.insert(args.end(), switches.begin(), switches.end());
    args.push_back(input);
    args.push_back(output);
    auto outcome = Cjpeg(args);
    EXPECT_EQ(outcome.result, 1) << switches[0];
    EXPECT_EQ(outcome.err, "") << switches[0];
    EXPECT_FALSE(FileExists(output)) << switches[0];
  }
}

TEST_F(CjpegRun, CommandLineRefusalsWithMessages) {
  const std::string in = *dir_ / "colour.ppm";
  const std::string out = *dir_ / "refused.jpg";
  const std::string two_files = "prog: must name one input and one output file\n";
  struct Case {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{"prog", in}, two_files},
      {{"prog", in, out, out}, two_files},
      {{"prog", in, out, "-quality", "50"}, two_files},  // switches come first
      {{"prog", "-outfile", out, in, out}, two_files},
      {{"prog", "-outfile", out}, two_files},
      {{"prog"}, two_files},
      {{"prog", "-outfile"}, ""},  // its value is missing
      {{"prog", "-quality"}, ""},
      {{"prog", "-arithmetic", in, out}, "prog: sorry, arithmetic coding not supported\n"},
      {{"", "-a", in, out}, "cjpeg: sorry, arithmetic coding not supported\n"},
  };
  for (const auto& c : cases) {
    auto outcome = Cjpeg(c.args);
    EXPECT_EQ(outcome.result, 1) << c.args.size();
    EXPECT_EQ(outcome.err, c.message) << c.args.size();
    EXPECT_FALSE(FileExists(out));
  }
}

TEST_F(CjpegRun, FailingSwitchFilesEndTheRunWithTheirMessage) {
  const std::string in = *dir_ / "colour.ppm";
  const std::string out = *dir_ / "parser.jpg";
  WriteFile(*dir_ / "short.txt", "1 2 3");
  WriteFile(*dir_ / "badscan.txt", "0 1 2 3 4;");
  struct Case {
    std::vector<std::string> switches;
    std::string message;
  } cases[] = {
      {{"-qslots", "4"}, "JPEG quantization tables are numbered 0..3\n"},
      {{"-qslots", "1;2"}, ""},
      {{"-sample", "5x1"}, "JPEG sampling factors must be 1..4\n"},
      {{"-sample", "2*2"}, ""},
      {{"-qtables", *dir_ / "none.txt"}, "Can't open table file " + *dir_ / "none.txt" + "\n"},
      {{"-qtables", *dir_ / "short.txt"}, "Invalid table data in file " + *dir_ / "short.txt" + "\n"},
      {{"-scans", *dir_ / "badscan.txt"},
       "Too many components in one scan in file " + *dir_ / "badscan.txt" + "\n"},
      // Shape is the parser's matter; the library judges the contents.
      {{"-scans", *dir_ / "short.txt"}, "Invalid scan script at entry 1\n"},
  };
  const std::size_t descriptors = OpenDescriptors();
  for (const auto& c : cases) {
    std::vector<std::string> args = {"cjpeg"};
    args.insert(args.end(), c.switches.begin(), c.switches.end());
    args.push_back(in);
    args.push_back(out);
    auto outcome = Cjpeg(args);
    EXPECT_EQ(outcome.result, 1) << c.switches[1];
    EXPECT_EQ(outcome.err, c.message) << c.switches[1];
    EXPECT_EQ(OpenDescriptors(), descriptors) << c.switches[1];
  }
}

TEST_F(CjpegRun, UnopenableFilesReturnOneAndLeaveNothingOpen) {
  const std::size_t descriptors = OpenDescriptors();
  const std::string missing = *dir_ / "missing.gif";
  auto no_input = Cjpeg({"cjpeg", missing, *dir_ / "never.jpg"});
  EXPECT_EQ(no_input.result, 1);
  EXPECT_EQ(no_input.err, "cjpeg: can't open " + missing + "\n");
  EXPECT_FALSE(FileExists(*dir_ / "never.jpg"));

  const std::string unwritable = *dir_ / "no-such-folder/out.jpg";
  auto no_output = Cjpeg({"cjpeg", *dir_ / "colour.ppm", unwritable});
  EXPECT_EQ(no_output.result, 1);
  EXPECT_EQ(no_output.err, "cjpeg: can't open " + unwritable + "\n");
  EXPECT_EQ(OpenDescriptors(), descriptors);
}

TEST_F(CjpegRun, InputFormatComesFromTheFirstByte) {
  auto empty = Cjpeg({"cjpeg", *dir_ / "empty", *dir_ / "e.jpg"});
  EXPECT_EQ(empty.result, 1);
  EXPECT_EQ(empty.err, "Empty input file\n");
  auto unknown = Cjpeg({"cjpeg", *dir_ / "r.bin", *dir_ / "u.jpg"});
  EXPECT_EQ(unknown.result, 1);
  EXPECT_EQ(unknown.err, "Unrecognized input file format --- perhaps you need -targa\n");
  // -targa skips the sniffing: the Targa reader judges the file.
  auto forced = Cjpeg({"cjpeg", "-targa", *dir_ / "colour.ppm", *dir_ / "t.jpg"});
  EXPECT_EQ(forced.result, 1);
  EXPECT_NE(forced.err.find("Targa"), std::string::npos) << forced.err;
  auto forced_empty = Cjpeg({"cjpeg", "-t", *dir_ / "empty", *dir_ / "t.jpg"});
  EXPECT_EQ(forced_empty.result, 1);
  EXPECT_NE(forced_empty.err, "Empty input file\n");
}

TEST_F(CjpegRun, WarningsGiveTwoAndAFile) {
  // Two stray zero bytes after the global colour table, read with the
  // header: both count, only the first is shown.
  std::string gif = ReadFile(*dir_ / "pipeline.gif");
  ASSERT_GT(gif.size(), 13u);
  int flags = static_cast<unsigned char>(gif[10]);
  std::size_t after_map = 13 + ((flags & 0x80) ? 3u << ((flags & 7) + 1) : 0u);
  gif.insert(after_map, 2, '\0');
  WriteFile(*dir_ / "odd.gif", gif);
  auto outcome = Cjpeg({"cjpeg", *dir_ / "odd.gif", *dir_ / "odd.jpg"});
  EXPECT_EQ(outcome.result, 2);
  EXPECT_EQ(outcome.err, "Bogus char 0x00 in GIF file, ignoring\n");
  EXPECT_EQ(ReadFile(*dir_ / "odd.jpg"),
            CompressLikeCjpeg(DecodeWithPillow(*dir_ / "pipeline.gif", 3)));
}

TEST_F(CjpegRun, EveryFailureLeavesTheNextRunWhole) {
  void (*const host_handler)(int) = [](int) {};
  auto previous = std::signal(SIGINT, host_handler);
  const std::string good_out = *dir_ / "after.jpg";
  const std::string expected = CompressLikeCjpeg(*colour_);
  WriteFile(*dir_ / "cut.ppm", ReadFile(*dir_ / "colour.ppm").substr(0, 200));
  const std::vector<std::vector<std::string>> failures = {
      {"cjpeg", "-bogus", "a", "b"},
      {"cjpeg", "-arithmetic", "a", "b"},
      {"cjpeg", "only-one"},
      {"cjpeg", *dir_ / "missing", good_out},
      {"cjpeg", *dir_ / "r.bin", *dir_ / "x.jpg"},
      {"cjpeg", *dir_ / "cut.ppm", *dir_ / "x.jpg"},
      {"cjpeg", "-qslots", "9", *dir_ / "colour.ppm", *dir_ / "x.jpg"},
      {"cjpeg", "-scans", *dir_ / "missing", *dir_ / "colour.ppm", *dir_ / "x.jpg"},
  };
  const std::size_t descriptors = OpenDescriptors();
  for (const auto& failure : failures) {
    EXPECT_EQ(Cjpeg(failure).result, 1) << failure[1];
    EXPECT_EQ(std::signal(SIGINT, host_handler), host_handler) << failure[1];
    EXPECT_EQ(OpenDescriptors(), descriptors) << failure[1];
    auto good = Cjpeg({"cjpeg", *dir_ / "colour.ppm", good_out});
    EXPECT_EQ(good.result, 0) << failure[1] << good.err;
    EXPECT_EQ(ReadFile(good_out), expected) << failure[1];
  }
  auto cut = Cjpeg({"cjpeg", *dir_ / "cut.ppm", *dir_ / "x.jpg"});
  EXPECT_EQ(cut.err, "Premature end of input file\n");
  std::signal(SIGINT, previous);
}

TEST_F(CjpegRun, VerboseShowsTheBannerOncePerProcess) {
  const std::string banner_start = "Skerrow CJPEG, version 6a  7-Feb-96\n";
  auto first = Cjpeg({"cjpeg", "-verbose", "-debug", *dir_ / "colour.ppm", *dir_ / "v.jpg"});
  EXPECT_EQ(first.result, 0);
  auto second = Cjpeg({"cjpeg", "-V", *dir_ / "colour.ppm", *dir_ / "v.jpg"});
  EXPECT_EQ(second.result, 0);
  EXPECT_EQ(second.err.find(banner_start), std::string::npos);
  // Trace output shows at level 1 and up.
  EXPECT_NE(second.err.find("45x37 PPM image"), std::string::npos) << second.err;

  // A fresh process shows it once, first, for two switches.
  auto child = testsupport::RunProcess(
      {SKERROW_CJPEG_COMMAND, "-v", "-d", *dir_ / "colour.ppm", *dir_ / "v.jpg"});
  EXPECT_EQ(child.exit_code, 0) << child.err;
  EXPECT_EQ(child.err.rfind(banner_start, 0), 0u) << child.err;
  EXPECT_EQ(child.err.find(banner_start, 1), std::string::npos);
}

TEST_F(CjpegRun, TerminationSignalEndsTheCommandWithOne) {
  // The command blocks on a pipe holding half a PPM header, past the point
  // where it has taken over SIGTERM.
  const std::string fifo = *dir_ / "slow.ppm";
  std::remove(fifo.c_str());
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string out = *dir_ / "signal.jpg";
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 2);
    execl(SKERROW_CJPEG_COMMAND, "cjpeg", fifo.c_str(), out.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int writer = open(fifo.c_str(), O_WRONLY);  // returns once the command has opened it
  ASSERT_GE(writer, 0);
  ASSERT_EQ(write(writer, "P6\n45 ", 6), 6);
  usleep(100 * 1000);
  kill(child, SIGTERM);
  int status = 0;
  waitpid(child, &status, 0);
  close(writer);
  ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 1);
}

TEST_F(CjpegRun, StandaloneCommandExitsWithTheResult) {
  auto usage = testsupport::RunProcess({SKERROW_CJPEG_COMMAND, "-nonsense", "a", "b"});
  EXPECT_EQ(usage.exit_code, 1);
  EXPECT_EQ(usage.err, "");
  auto fatal = testsupport::RunProcess({SKERROW_CJPEG_COMMAND, *dir_ / "r.bin", *dir_ / "s.jpg"});
  EXPECT_EQ(fatal.exit_code, 1);
  EXPECT_EQ(fatal.err, "Unrecognized input file format --- perhaps you need -targa\n");
  auto good = testsupport::RunProcess({SKERROW_CJPEG_COMMAND, *dir_ / "colour.ppm", *dir_ / "s.jpg"});
  EXPECT_EQ(good.exit_code, 0) << good.err;
  EXPECT_EQ(ReadFile(*dir_ / "s.jpg"), CompressLikeCjpeg(*colour_));
}

// Width and height a JPEG file declares, as the library reads them.
std::pair<unsigned, unsigned> JpegSize(const std::string& path) {
  const std::string jpeg = ReadFile(path);
  jpeg_decompress_struct decompressor;
  jpeg_error_mgr errors;
  decompressor.err = jpeg_std_error(&errors);
  jpeg_create_decompress(&decompressor);
  jpeg_mem_src(&decompressor, reinterpret_cast<const unsigned char*>(jpeg.data()), jpeg.size());
  jpeg_read_header(&decompressor, TRUE);
  std::pair<unsigned, unsigned> size{decompressor.image_width, decompressor.image_height};
  jpeg_destroy_decompress(&decompressor);
  return size;
}

// Pictures that claim far more than their few bytes hold. A format whose
// missing data are filled still comes out at full size, with its warning;
// one whose missing data are fatal ends at once. A memory limit the user
// sets holds for the readers' whole-picture stores as for the library's.
TEST_F(CjpegRun, TinyBombsHonourTheMemoryLimit) {
  constexpr unsigned kSide = 2048;  // stores of 4 to 12 MB against a 1 MB limit
  constexpr const char* kRanOut = "Ran out of GIF bits\n";
  constexpr const char* kCut = "Premature end of input file\n";
  constexpr const char* kRefused = "Backing store not supported\n";
  struct Case {
    const char* name;
    std::string bytes;
    int result;
    const char* printed;
    int limited_result;  // with -maxmemory 1m
    const char* limited_printed;
  };
  const Case cases[] = {
      {"plain.gif", bombs::Gif(kSide, kSide, false), 2, kRanOut, 2, kRanOut},
      {"interlaced.gif", bombs::Gif(kSide, kSide, true), 2, kRanOut, 1, kRefused},
      {"top.tga", bombs::Targa(kSide, kSide, true), 2, kCut, 2, kCut},
      {"bottom.tga", bombs::Targa(kSide, kSide, false), 2, kCut, 1, kRefused},
      {"bottom.bmp", bombs::Bmp(kSide, kSide), 1, kCut, 1, kRefused},
      {"bomb.ppm", bombs::Ppm(kSide, kSide), 1, kCut, 1, kCut},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string input = *dir_ / c.name;
    const std::string output = *dir_ / "bomb.jpg";
    WriteFile(input, c.bytes);
    const Outcome free_run = Cjpeg({"cjpeg", input, output});
    EXPECT_EQ(free_run.result, c.result);
    EXPECT_EQ(free_run.err, c.printed);
    if (c.result == 2) {
      EXPECT_EQ(JpegSize(output), std::make_pair(kSide, kSide));
    }
    const Outcome limited = Cjpeg({"cjpeg", "-maxmemory", "1m", input, output});
    EXPECT_EQ(limited.result, c.limited_result);
    EXPECT_EQ(limited.err, c.limited_printed);
  }
}

}  // namespace
