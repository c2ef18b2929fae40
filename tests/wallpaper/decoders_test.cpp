// The PNG and WebP stages through the chain: every colour type, depth and
// interlacing of PNG, and lossy, lossless, alpha and animated WebP, checked
// against Pillow's decoding of the same files.
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "layer_control.h"
#include "picture_helpers.h"
#include "test_support.h"
#include "webp_decoder.h"

namespace {

class DecodersTest : public pictures::ChainTest {
 protected:
  // Runs the oracle script with `args`; its lines of output.
  static std::vector<std::string> Oracle(const std::vector<std::string>& args) {
    std::vector<std::string> all = {std::string(SKERROW_TESTS_DIR) + "/wallpaper/picture_oracle.py"};
    all.insert(all.end(), args.begin(), args.end());
    static const char kRun[] =
        "import runpy, sys; sys.argv = sys.argv[1:]; runpy.run_path(sys.argv[0], run_name='__main__')";
    testsupport::ProcessResult r = testsupport::RunPython(kRun, all);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    std::vector<std::string> lines;
    std::istringstream out(r.out);
    for (std::string line; std::getline(out, line);) lines.push_back(line);
    return lines;
  }

  // Makes the pictures, sets each as the wallpaper and keeps the stored
  // bitmap beside it; returns the largest channel difference per picture.
  std::vector<std::pair<std::string, int>> ApplyEach(const std::string& make) {
    const std::vector<std::string> names = Oracle({make, source_});
    EXPECT_FALSE(names.empty());
    for (const std::string& name : names) {
      std::filesystem::remove(LayerWallpaperStorePath());
      Apply(source_, name, 0);
      std::error_code missing;
      std::filesystem::copy_file(LayerWallpaperStorePath(), source_ + "/" + name + ".bmp", missing);
      EXPECT_FALSE(missing) << name;
    }
    EXPECT_TRUE(testsupport::ListDir(WorkFolder()).empty());
    return Check(names);
  }

  // The largest channel difference between each `name`.bmp and Pillow's
  // decoding of `name`.
  std::vector<std::pair<std::string, int>> Check(const std::vector<std::string>& names) {
    std::vector<std::string> args = {"check", source_};
    args.insert(args.end(), names.begin(), names.end());
    std::vector<std::pair<std::string, int>> differences;
    for (const std::string& line : Oracle(args)) {
      std::istringstream fields(line);
      std::string name, difference;
      fields >> name >> difference;
      differences.emplace_back(name, difference == "size" ? 1 << 30 : std::stoi(difference));
    }
    EXPECT_EQ(differences.size(), names.size());
    return differences;
  }
};

TEST_F(DecodersTest, PngOfEveryColourTypeAndDepthEqualsPillowsDecoding) {
  for (const auto& [name, difference] : ApplyEach("make-png")) EXPECT_EQ(difference, 0) << name;
}

// libwebp decodes for both sides; the lossy pictures differed by 0 when
// measured, the bound leaves room for another build of the library.
TEST_F(DecodersTest, WebpStillsAndFirstFramesMatchPillowsDecoding) {
  for (const auto& [name, difference] : ApplyEach("make-webp"))
    EXPECT_LE(difference, name.find("lossy") == 0 ? 2 : 0) << name;
}

// Pictures and first frames with alpha too large to decode whole go in bands
// of rows; bands of two rows give the same pixels, on the canvas as well.
TEST_F(DecodersTest, WebpWithAlphaDecodedInBandsMatchesPillowsDecoding) {
  std::vector<std::string> names;
  for (const std::string& name : Oracle({"make-webp", source_})) {
    if (name.find("alpha") == std::string::npos) continue;
    const std::string path = source_ + "/" + name;
    EXPECT_EQ(DecodeWebpToBitmapInBands(path.c_str(), (path + ".bmp").c_str(), 1), 0) << name;
    names.push_back(name);
  }
  ASSERT_EQ(names.size(), 4u);
  for (const auto& [name, difference] : Check(names))
    EXPECT_LE(difference, name.find("lossy") == 0 ? 2 : 0) << name;
}

}  // namespace
