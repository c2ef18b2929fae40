#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <vector>

#include "converter_support.h"
#include "switch_files.h"
#include "test_support.h"

using testsupport::StderrCapture;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

// A compressor set up as the command has it when the parsers run.
class ParserTest : public ::testing::Test {
 protected:
  void SetUp() override {
    compressor_.err = InitConverterErrorManager(&manager_);
    jpeg_create_compress(&compressor_);
    compressor_.in_color_space = JCS_RGB;
    compressor_.input_components = 3;
    jpeg_set_defaults(&compressor_);
    open_files_before_ = testsupport::ListDir("/proc/self/fd").size();
  }
  void TearDown() override {
    // Every path closes the file it opened.
    EXPECT_EQ(manager_.extra_file, nullptr);
    EXPECT_EQ(testsupport::ListDir("/proc/self/fd").size(), open_files_before_);
    jpeg_destroy_compress(&compressor_);
  }

  // Runs a parser, returning its verdict and what it printed.
  template <typename Parser>
  std::pair<bool, std::string> Run(Parser parser) {
    StderrCapture capture;
    bool ok = parser();
    return {ok, capture.Finish()};
  }

  std::pair<bool, std::string> Tables(const std::string& text, int scale = 100, bool baseline = false) {
    WriteFile(dir_ / "q.txt", text);
    std::string name = dir_ / "q.txt";
    return Run([&] { return LoadQuantTables(&compressor_, name.c_str(), scale, baseline); });
  }
  std::pair<bool, std::string> Script(const std::string& text) {
    WriteFile(dir_ / "s.txt", text);
    std::string name = dir_ / "s.txt";
    return Run([&] { return LoadScanScript(&compressor_, name.c_str()); });
  }
  std::vector<int> Slot(int slot) {
    std::vector<int> values;
    for (int i = 0; i < DCTSIZE2; ++i) values.push_back(compressor_.quant_tbl_ptrs[slot]->quantval[i]);
    return values;
  }
  std::string File(const char* name) { return dir_ / name; }

  TempDir dir_;
  jpeg_compress_struct compressor_;
  ConverterErrorManager manager_;
  std::size_t open_files_before_ = 0;
};

std::string Numbers(int count, int first = 1) {
  std::string text;
  for (int i = 0; i < count; ++i) text += std::to_string(first + i) + (i % 8 == 7 ? "\n" : " ");
  return text;
}

TEST_F(ParserTest, TableFileFillsSlotsInOrderAndLeavesTheRest) {
  std::vector<int> chrominance = Slot(1);
  // Comments may stand anywhere, even between the values of a table.
  std::string text = "# luminance\n" + Numbers(32) + "# halfway\n" + Numbers(32, 33) + "# end";
  auto [ok, err] = Tables(text);
  ASSERT_TRUE(ok) << err;
  EXPECT_EQ(err, "");
  std::vector<int> expected;
  for (int i = 1; i <= 64; ++i) expected.push_back(i);
  EXPECT_EQ(Slot(0), expected);
  EXPECT_EQ(Slot(1), chrominance);

  ASSERT_TRUE(Tables(Numbers(128, 100)).first);
  EXPECT_EQ(Slot(1)[0], 164);
  EXPECT_EQ(Slot(1)[63], 227);
}

TEST_F(ParserTest, TableValuesAreScaledAndLimited) {
  std::string text = "16 1000 0 2147483647" + std::string(60 * 2, ' ');
  for (int i = 4; i < 64; ++i) text += "7 ";
  ASSERT_TRUE(Tables(text, 50).first);
  EXPECT_EQ(Slot(0)[0], 8);       // halved
  EXPECT_EQ(Slot(0)[1], 500);
  EXPECT_EQ(Slot(0)[2], 1);       // never below 1
  EXPECT_EQ(Slot(0)[3], 32767);   // the library's ceiling
  ASSERT_TRUE(Tables(text, 100, true).first);
  EXPECT_EQ(Slot(0)[0], 16);
  EXPECT_EQ(Slot(0)[1], 255);     // baseline ceiling
  EXPECT_EQ(Slot(0)[3], 255);
}

TEST_F(ParserTest, BadTableFilesAreRefusedWithTheirMessage) {
  const std::string name = File("q.txt");
  struct Case {
    std::string text;
    std::string message;
  } cases[] = {
      {Numbers(100), "Invalid table data in file " + name + "\n"},
      {Numbers(320), "Too many tables in file " + name + "\n"},
      {"x " + Numbers(64), "Non-numeric data in file " + name + "\n"},
      {Numbers(30) + " x " + Numbers(34), "Invalid table data in file " + name + "\n"},
      {Numbers(64) + "-1", "Non-numeric data in file " + name + "\n"},
      // Too large for the accumulator: refused, never wrapped into range.
      {"4294967312 " + Numbers(63), "Non-numeric data in file " + name + "\n"},
      {Numbers(10) + "99999999999999999999", "Invalid table data in file " + name + "\n"},
      {Numbers(10) + "2147483648 " + Numbers(53), "Invalid table data in file " + name + "\n"},
  };
  for (const auto& c : cases) {
    auto [ok, err] = Tables(c.text);
    EXPECT_FALSE(ok) << c.text;
    EXPECT_EQ(err, c.message) << c.text;
  }
  auto [ok, err] = Run([&] { return LoadQuantTables(&compressor_, "/nonexistent/q", 100, false); });
  EXPECT_FALSE(ok);
  EXPECT_EQ(err, "Can't open table file /nonexistent/q\n");
}

TEST_F(ParserTest, ScanScriptEntriesAndTheirDefaults) {
  auto [ok, err] = Script("0 1 2;\n0: 1 63 0 0;\n");
  ASSERT_TRUE(ok) << err;
  ASSERT_EQ(compressor_.num_scans, 2);
  const jpeg_scan_info* scans = compressor_.scan_info;
  EXPECT_EQ(scans[0].comps_in_scan, 3);
  EXPECT_EQ(scans[0].component_index[2], 2);
  EXPECT_EQ(scans[0].Ss, 0);
  EXPECT_EQ(scans[0].Se, 63);
  EXPECT_EQ(scans[1].comps_in_scan, 1);
  EXPECT_EQ(scans[1].Ss, 1);
  EXPECT_EQ(scans[1].Se, 63);

  // Commas and line ends separate like blanks; the last ';' may be missing.
  ASSERT_TRUE(Script("0,1,2 # all three\n;1\n2:0 0 1,0;\n0\n1 2").first);
  ASSERT_EQ(compressor_.num_scans, 3);
  scans = compressor_.scan_info;
  EXPECT_EQ(scans[0].comps_in_scan, 3);
  EXPECT_EQ(scans[1].comps_in_scan, 2);  // "1\n2" runs on
  EXPECT_EQ(scans[1].component_index[1], 2);
  EXPECT_EQ(scans[1].Ah, 1);
  EXPECT_EQ(scans[1].Al, 0);
  EXPECT_EQ(scans[2].comps_in_scan, 3);
  // Without ';' between them, two entries are one malformed entry.
  EXPECT_FALSE(Script("0: 0 0 1 0\n1").first);

  // Nothing in the file keeps what was there.
  jpeg_simple_progression(&compressor_);
  const jpeg_scan_info* progressive = compressor_.scan_info;
  int progressive_count = compressor_.num_scans;
  ASSERT_TRUE(Script("").first);
  ASSERT_TRUE(Script("# only a comment\n\n# and another").first);
  EXPECT_EQ(compressor_.scan_info, progressive);
  EXPECT_EQ(compressor_.num_scans, progressive_count);
}

TEST_F(ParserTest, BadScanScriptsAreRefusedWithTheirMessage) {
  const std::string name = File("s.txt");
  const std::string invalid = "Invalid scan entry format in file " + name + "\n";
  std::string hundred_and_one;
  for (int i = 0; i < 101; ++i) hundred_and_one += "0;\n";
  std::string hundred;
  for (int i = 0; i < 100; ++i) hundred += "0;\n";
  struct Case {
    std::string text;
    std::string message;
  } cases[] = {
      {"0 1 2 3 4;", "Too many components in one scan in file " + name + "\n"},
      {hundred_and_one, "Too many scans defined in file " + name + "\n"},
      {"x;", "Non-numeric data in file " + name + "\n"},
      {"0;\n;", "Non-numeric data in file " + name + "\n"},
      {"0 x;", invalid},
      {"0: 1 63 0;", invalid},     // Al missing
      {"0: 1 63: 0 0;", invalid},  // ':' where a blank belongs
      {"0: 1 63 0 0: 1;", invalid},
      {"0:", invalid},
      {"0 1 2 3: 0 63 0 0 x", invalid},  // entry must end in ';'
      {"0: 1 63 0 99999999999;", invalid},
      {"99999999999 1;", "Non-numeric data in file " + name + "\n"},
  };
  for (const auto& c : cases) {
    auto [ok, err] = Script(c.text);
    EXPECT_FALSE(ok) << c.text;
    EXPECT_EQ(err, c.message) << c.text;
  }
  EXPECT_TRUE(Script(hundred).first);
  EXPECT_EQ(compressor_.num_scans, 100);
  auto [ok, err] = Run([&] { return LoadScanScript(&compressor_, "/nonexistent/s"); });
  EXPECT_FALSE(ok);
  EXPECT_EQ(err, "Can't open scan definition file /nonexistent/s\n");
}

TEST_F(ParserTest, TableSlotLists) {
  auto slots = [&] {
    std::vector<int> v;
    for (int ci = 0; ci < MAX_COMPONENTS; ++ci) v.push_back(compressor_.comp_info[ci].quant_tbl_no);
    return v;
  };
  ASSERT_TRUE(ApplyTableSlots(&compressor_, "0,1"));
  EXPECT_EQ(slots(), (std::vector<int>{0, 1, 1, 1, 1, 1, 1, 1, 1, 1}));
  ASSERT_TRUE(ApplyTableSlots(&compressor_, "3,2,1,0,0,0,0,0,0,0,3"));  // extra ignored
  EXPECT_EQ(slots(), (std::vector<int>{3, 2, 1, 0, 0, 0, 0, 0, 0, 0}));
  ASSERT_TRUE(ApplyTableSlots(&compressor_, ""));
  EXPECT_EQ(slots(), std::vector<int>(MAX_COMPONENTS, 0));

  struct Case {
    const char* list;
    const char* message;
  } cases[] = {
      {"4", "JPEG quantization tables are numbered 0..3\n"},
      {"0,-1", "JPEG quantization tables are numbered 0..3\n"},
      {"99999999999", "JPEG quantization tables are numbered 0..3\n"},
      {"1;2", ""},
      {"1,,2", ""},
      {"x", ""},
      {"1 ,2", ""},
  };
  for (const auto& c : cases) {
    auto [ok, err] = Run([&] { return ApplyTableSlots(&compressor_, c.list); });
    EXPECT_FALSE(ok) << c.list;
    EXPECT_EQ(err, c.message) << c.list;
  }
}

TEST_F(ParserTest, SamplingFactorLists) {
  auto factors = [&] {
    std::vector<int> v;
    for (int ci = 0; ci < MAX_COMPONENTS; ++ci) {
      v.push_back(compressor_.comp_info[ci].h_samp_factor * 10 + compressor_.comp_info[ci].v_samp_factor);
    }
    return v;
  };
  ASSERT_TRUE(ApplySamplingFactors(&compressor_, "2x2"));
  EXPECT_EQ(factors(), (std::vector<int>{22, 11, 11, 11, 11, 11, 11, 11, 11, 11}));
  ASSERT_TRUE(ApplySamplingFactors(&compressor_, "2X1,1x1,4x3"));
  EXPECT_EQ(factors(), (std::vector<int>{21, 11, 43, 11, 11, 11, 11, 11, 11, 11}));

  struct Case {
    const char* list;
    const char* message;
  } cases[] = {
      {"5x1", "JPEG sampling factors must be 1..4\n"},
      {"1x0", "JPEG sampling factors must be 1..4\n"},
      {"2x2,1x99999999999", "JPEG sampling factors must be 1..4\n"},
      {"2*2", ""},
      {"2", ""},
      {"2x", ""},
      {"2x2;1x1", ""},
      {"2x2,,1x1", ""},
  };
  for (const auto& c : cases) {
    auto [ok, err] = Run([&] { return ApplySamplingFactors(&compressor_, c.list); });
    EXPECT_FALSE(ok) << c.list;
    EXPECT_EQ(err, c.message) << c.list;
  }
}

}  // namespace
