// The conversion chain on real files with the real converters, checked
// against Pillow's reading of the source picture.
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <windows.h>

#include "fetch_globals.h"
#include "layer_control.h"
#include "picture_helpers.h"
#include "test_support.h"
#include "wallpaper.h"

namespace {

using testsupport::FileExists;
using testsupport::ListDir;
using testsupport::ReadFile;

class PipelineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    LayerReset();
    source_ = dir_ / "pictures";
    temp_ = dir_ / "temp";
    std::filesystem::create_directories(source_);
    std::filesystem::create_directories(temp_);
    const char* temp = std::getenv("TEMP");
    had_temp_ = temp != nullptr;
    if (had_temp_) saved_temp_ = temp;
    setenv("TEMP", temp_.c_str(), 1);
    setenv("XDG_STATE_HOME", (dir_ / "state").c_str(), 1);
    // The chain works in the program's private folder inside TEMP.
    char folder[MAX_PATH + 1];
    DWORD length = GetTempPathA(sizeof folder, folder);
    ASSERT_GT(length, temp_.size());
    temp_.assign(folder, length - 1);
  }
  void TearDown() override {
    if (had_temp_) {
      setenv("TEMP", saved_temp_.c_str(), 1);
    } else {
      unsetenv("TEMP");
    }
    LayerReset();
  }

  // Runs the chain on `name` inside `folder`, as the fetcher leaves it.
  void Apply(const std::string& folder, const std::string& name, int delete_source) {
    std::snprintf(WorkDir, sizeof WorkDir, "%s/", folder.c_str());
    std::snprintf(LocalName, sizeof LocalName, "%s", name.c_str());
    ApplyWallpaper(delete_source);
  }

  std::string Stored() const { return ReadFile(LayerWallpaperStorePath()); }

  // Sets an earlier wallpaper, so that a failure can be seen to keep it.
  std::string SetEarlierWallpaper() {
    const std::string earlier = dir_ / "earlier.bmp";
    pictures::Draw("bmp", earlier, 8, 8);
    char path[1024];
    std::snprintf(path, sizeof path, "%s", earlier.c_str());
    EXPECT_TRUE(SystemParametersInfoA(SPI_SETDESKWALLPAPER, 0, path, 0));
    return ReadFile(earlier);
  }

  testsupport::TempDir dir_;
  std::string source_;
  std::string temp_;
  std::string saved_temp_;
  bool had_temp_ = false;
};

struct SourceCase {
  const char* name;
  const char* kind;
  const char* final_name;  // LocalName once the chain is done
};

constexpr SourceCase kSources[] = {
    {"sea.gif", "gif", "sea.bmp"},
    {"sea.jpg", "jpeg", "sea.bmp"},
    {"sea.jpeg", "jpeg", "sea.bmp"},
    {"sea.bmp", "bmp", "sea.bmp"},
    {"Sea.GIF", "gif", "sea.bmp"},
    {"SEA.JPEG", "jpeg", "sea.bmp"},
};

TEST_F(PipelineTest, LocalPicturesOfEachKindBecomeTheWallpaperAndAreKept) {
  for (const SourceCase& c : kSources) {
    const std::string picture = source_ + "/" + c.name;
    pictures::Draw(c.kind, picture);
    const std::string original = ReadFile(picture);
    std::filesystem::remove(LayerWallpaperStorePath());

    Apply(source_, c.name, 0);
    ASSERT_TRUE(FileExists(LayerWallpaperStorePath())) << c.name;
    pictures::ExpectPicture(LayerWallpaperStorePath(), picture, c.kind);
    EXPECT_EQ(ReadFile(picture), original) << c.name;
    EXPECT_EQ(ListDir(source_), std::vector<std::string>{c.name});
    EXPECT_TRUE(ListDir(temp_).empty()) << c.name;
    EXPECT_STREQ(LocalName, c.final_name);
    std::filesystem::remove(picture);
  }
}

TEST_F(PipelineTest, DownloadsLeaveNothingBehind) {
  for (const SourceCase& c : kSources) {
    const std::string picture = temp_ + "/" + c.name;
    pictures::Draw(c.kind, picture);
    const std::string reference = dir_ / (std::string("reference-") + c.name);
    std::filesystem::copy_file(picture, reference, std::filesystem::copy_options::overwrite_existing);

    Apply(temp_, c.name, 1);
    pictures::ExpectPicture(LayerWallpaperStorePath(), reference, c.kind);
    EXPECT_TRUE(ListDir(temp_).empty()) << c.name;
  }
}

TEST_F(PipelineTest, DoubleByteNamesAreLowerCasedByteByByte) {
  // U+30A2 is 0x83 0x41 in code page 932: its second byte is an 'A'.
  const std::string name = "\x83\x41.GIF";
  pictures::Draw("gif", source_ + "/" + name);
  Apply(source_, name, 0);
  EXPECT_STREQ(LocalName, "\x83\x61.bmp");
  pictures::ExpectPicture(LayerWallpaperStorePath(), source_ + "/" + name, "gif");
  EXPECT_TRUE(ListDir(temp_).empty());
}

TEST_F(PipelineTest, NamesMatchingNoStageAreLeftAlone) {
  for (const char* name : {"index.html", "sea.gif?size=2", "gif", ".bm", "sea.gif.txt", "seajpg"}) {
    const std::string path = temp_ + "/" + name;
    testsupport::WriteFile(path, "GIF89a not really");
    Apply(temp_, name, 1);
    EXPECT_TRUE(FileExists(path)) << name;
    EXPECT_FALSE(FileExists(LayerWallpaperStorePath())) << name;
    EXPECT_EQ(ListDir(temp_), std::vector<std::string>{name});
    std::filesystem::remove(path);
  }
}

TEST_F(PipelineTest, WithoutTempOutputsStayInThePrivateFolderAndSpareTheUsersFiles) {
  unsetenv("TEMP");
  pictures::Draw("gif", source_ + "/sea.gif");
  testsupport::WriteFile(source_ + "/sea.jpg", "the user's own picture");
  testsupport::WriteFile(source_ + "/sea.bmp", "the user's own bitmap");
  Apply(source_, "sea.gif", 0);
  pictures::ExpectPicture(LayerWallpaperStorePath(), source_ + "/sea.gif", "gif");
  EXPECT_EQ(ListDir(source_), (std::vector<std::string>{"sea.bmp", "sea.gif", "sea.jpg"}));
  EXPECT_EQ(ReadFile(source_ + "/sea.jpg"), "the user's own picture");
  EXPECT_EQ(ReadFile(source_ + "/sea.bmp"), "the user's own bitmap");
  EXPECT_EQ(std::string(WorkDir), temp_ + "/");
  EXPECT_TRUE(ListDir(temp_).empty());
}

TEST_F(PipelineTest, AFailedStageEndsTheChainAndKeepsTheWallpaper) {
  const std::string earlier = SetEarlierWallpaper();
  struct Case {
    const char* what;
    const char* name;
    std::string bytes;  // empty: the file is missing
    int delete_source;
  } const cases[] = {
      {"missing gif", "gone.gif", "", 0},
      {"missing jpeg", "gone.jpg", "", 0},
      {"missing bitmap", "gone.bmp", "", 0},
      {"damaged gif", "bad.gif", std::string("GIF89a\x10\x00\x10\x00\x80\x00\x00", 13) + std::string(40, '\x55'), 0},
      {"damaged download", "bad.gif", std::string("GIF89a\x10\x00\x10\x00\x80\x00\x00", 13), 1},
      {"an error page named jpg", "page.jpg", "<html>not found</html>", 1},
      {"text named gif", "page.gif", "<html>not found</html>", 0},
  };
  for (const Case& c : cases) {
    const std::string path = source_ + "/" + c.name;
    if (!c.bytes.empty()) testsupport::WriteFile(path, c.bytes);
    Apply(source_, c.name, c.delete_source);
    EXPECT_EQ(Stored(), earlier) << c.what;
    EXPECT_TRUE(ListDir(temp_).empty()) << c.what;
    // Only a download's source is the chain's to delete.
    EXPECT_EQ(FileExists(path), !c.bytes.empty() && c.delete_source == 0) << c.what;
    std::filesystem::remove(path);
  }
}

TEST_F(PipelineTest, AFailedStageLeavesAFileThatWasAlreadyThere) {
  testsupport::WriteFile(temp_ + "/gone.bmp", "the user's own");
  Apply(source_, "gone.jpg", 0);
  EXPECT_EQ(ReadFile(temp_ + "/gone.bmp"), "the user's own");
  EXPECT_FALSE(FileExists(LayerWallpaperStorePath()));
}

TEST_F(PipelineTest, WarningsDoNotStopTheChain) {
  // A JPEG cut short decodes with a warning; the picture is still shown.
  pictures::Draw("jpeg", dir_ / "whole.jpg", 64, 64);
  std::string bytes = ReadFile(dir_ / "whole.jpg");
  testsupport::WriteFile(source_ + "/cut.jpg", bytes.substr(0, bytes.size() * 3 / 4));
  Apply(source_, "cut.jpg", 0);
  EXPECT_TRUE(FileExists(LayerWallpaperStorePath()));
  EXPECT_TRUE(ListDir(temp_).empty());
}

TEST_F(PipelineTest, ABitmapNamedGifStillReachesTheWallpaper) {
  pictures::Draw("bmp", source_ + "/odd.gif");
  Apply(source_, "odd.gif", 0);
  ASSERT_TRUE(FileExists(LayerWallpaperStorePath()));
  pictures::ExpectPicture(LayerWallpaperStorePath(), source_ + "/odd.gif", "gif");
  EXPECT_TRUE(ListDir(temp_).empty());
}

}  // namespace
