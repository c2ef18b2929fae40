// The conversion chain on real files with the real converters, checked
// against Pillow's reading of the source picture.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <windows.h>
#include <zlib.h>

#include "picture_helpers.h"
#include "png_decoder.h"
#include "test_support.h"
#include "webp_decoder.h"

namespace {

using testsupport::FileExists;
using testsupport::ListDir;
using testsupport::ReadFile;

class PipelineTest : public pictures::ChainTest {};

std::string Little(std::uint32_t value, int bytes) {
  std::string out;
  for (int i = 0; i < bytes; ++i) out += static_cast<char>(value >> (8 * i));
  return out;
}

std::string Big(std::uint32_t value, int bytes) {
  std::string out;
  for (int i = bytes - 1; i >= 0; --i) out += static_cast<char>(value >> (8 * i));
  return out;
}

// Headers that claim a size and carry no pixels, as a picture bomb does.
std::string ClaimingSize(const std::string& format, std::uint32_t width, std::uint32_t height) {
  using namespace std::string_literals;
  if (format == "gif")  // a 16x16 logical screen, so that only the image states the size
    return "GIF89a"s + Little(16, 2) + Little(16, 2) + "\0\0\0"s +  // no global table
           "," + Little(0, 4) + Little(width, 2) + Little(height, 2) + "\0\x02"s;  // descriptor, code size
  if (format == "jpg")
    return "\xFF\xD8\xFF\xE0\0\x10JFIF\0\x01\x01\0\0\x01\0\x01\0\0"s +  // SOI, APP0
           "\xFF\xC0\0\x11\x08"s + Big(height, 2) + Big(width, 2) +              // SOF0, 8 bits
           "\x03\x01\x22\0\x02\x11\x01\x03\x11\x01"s;                          // three components
  if (format == "bmp")
    return "BM"s + Little(54, 4) + Little(0, 4) + Little(54, 4) +  // file header
           Little(40, 4) + Little(width, 4) + Little(height, 4) + Little(1, 2) + Little(24, 2) + std::string(24, '\0');
  if (format == "png") {
    const std::string ihdr = "IHDR"s + Big(width, 4) + Big(height, 4) + "\x08\x02\0\0\0"s;
    const auto crc = crc32(0, reinterpret_cast<const Bytef*>(ihdr.data()), static_cast<uInt>(ihdr.size()));
    return "\x89PNG\r\n\x1a\n"s + Big(13, 4) + ihdr + Big(static_cast<std::uint32_t>(crc), 4);
  }
  // webp: the extended header states the canvas.
  return "RIFF"s + Little(22, 4) + "WEBPVP8X"s + Little(10, 4) + Little(0, 4) + Little(width - 1, 3) +
         Little(height - 1, 3);
}

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
    {"sea.png", "png", "sea.bmp"},
    {"Sea.WebP", "webp", "sea.bmp"},
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
  pictures::Draw("jpeg", dir_ / "whole.jpg", 160, 120);
  const std::string whole = ReadFile(dir_ / "whole.jpg");
  const char* damaged = "the picture's data ends early or is damaged; the wallpaper stays";
  struct Case {
    const char* what;
    const char* name;
    std::string bytes;  // empty: the file is missing
    int delete_source;
    const char* said = nullptr;  // the chain's reason after the picture's address, when checked
  } const cases[] = {
      {"missing gif", "gone.gif", "", 0},
      {"missing jpeg", "gone.jpg", "", 0, "the picture could not be converted; the wallpaper stays"},
      {"jpeg cut short", "cut.jpg", whole.substr(0, whole.size() / 2), 0, damaged},
      {"jpeg cut short, named by its content", "cut", whole.substr(0, whole.size() / 2), 1, damaged},
      {"missing bitmap", "gone.bmp", "", 0},
      {"damaged gif", "bad.gif", std::string("GIF89a\x10\x00\x10\x00\x80\x00\x00", 13) + std::string(40, '\x55'), 0},
      {"damaged download", "bad.gif", std::string("GIF89a\x10\x00\x10\x00\x80\x00\x00", 13), 1},
      {"an error page named jpg", "page.jpg", "<html>not found</html>", 1},
      {"text named gif", "page.gif", "<html>not found</html>", 0},
      {"png cut short", "cut.png", std::string("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR", 16), 1},
      {"text named webp", "page.webp", std::string("RIFF\x10\0\0\0WEBPVP8 nothing", 23), 0},
  };
  for (const Case& c : cases) {
    const std::string path = source_ + "/" + c.name;
    if (!c.bytes.empty()) testsupport::WriteFile(path, c.bytes);
    std::snprintf(RequestedUrl, sizeof RequestedUrl, "file://%s", path.c_str());
    testsupport::StderrCapture capture;
    Apply(source_, c.name, c.delete_source);
    const std::string said = capture.Finish();
    RequestedUrl[0] = '\0';
    if (c.said != nullptr) {
      EXPECT_NE(said.find("file://" + path + ": " + c.said + "\n"), std::string::npos) << said;
    }
    EXPECT_EQ(Stored(), earlier) << c.what;
    EXPECT_TRUE(ListDir(temp_).empty()) << c.what;
    // Only a download's source is the chain's to delete.
    EXPECT_EQ(FileExists(path), !c.bytes.empty() && c.delete_source == 0) << c.what;
    std::filesystem::remove(path);
  }
}

TEST_F(PipelineTest, WarningsAboutAWholePictureDoNotStopTheChain) {
  // Stray bytes before the end marker decode with a warning; every row is
  // there, so the picture is still shown.
  pictures::Draw("jpeg", dir_ / "whole.jpg", 64, 64);
  std::string bytes = ReadFile(dir_ / "whole.jpg");
  testsupport::WriteFile(source_ + "/stray.jpg", bytes.substr(0, bytes.size() - 2) + "ab" + bytes.substr(bytes.size() - 2));
  Apply(source_, "stray.jpg", 0);
  pictures::ExpectPicture(LayerWallpaperStorePath(), dir_ / "whole.jpg", "jpeg");
  EXPECT_TRUE(ListDir(temp_).empty());
}

TEST_F(PipelineTest, ABitmapNamedGifStillReachesTheWallpaper) {
  pictures::Draw("bmp", source_ + "/odd.gif");
  Apply(source_, "odd.gif", 0);
  ASSERT_TRUE(FileExists(LayerWallpaperStorePath()));
  pictures::ExpectPicture(LayerWallpaperStorePath(), source_ + "/odd.gif", "gif");
  EXPECT_TRUE(ListDir(temp_).empty());
}

TEST_F(PipelineTest, PicturesLargerThanTheLimitAreRefusedFromTheirHeader) {
  const std::string earlier = SetEarlierWallpaper();
  struct Size {
    std::uint32_t width, height;
    bool refused;
  } const sizes[] = {{65500, 65500, true}, {16385, 1, true}, {1, 16385, true}, {8193, 8193, true},
                     {16384, 4096, false}};
  for (const char* format : {"gif", "jpg", "bmp", "png", "webp"}) {
    for (const Size& size : sizes) {
      const std::string what = std::string(format) + " " + std::to_string(size.width) + "x" +
                               std::to_string(size.height);
      const std::string bytes = ClaimingSize(format, size.width, size.height);
      const std::string name = std::string("bomb.") + format;
      testsupport::WriteFile(temp_ + "/" + name, bytes);
      testsupport::StderrCapture capture;
      Apply(temp_, name, 1);
      const std::string said = capture.Finish();
      // Accepted, the header alone still fails in its stage, just not as too large.
      EXPECT_EQ(said.find("too large") != std::string::npos, size.refused) << what << ": " << said;
      EXPECT_EQ(Stored(), earlier) << what;
      EXPECT_TRUE(ListDir(temp_).empty()) << what;

      // The new stages refuse on their own when called without the chain.
      int (*stage)(const char*, const char*) = std::string(format) == "png"    ? DecodePngToBitmap
                                               : std::string(format) == "webp" ? DecodeWebpToBitmap
                                                                               : nullptr;
      if (stage == nullptr || !size.refused) continue;
      testsupport::WriteFile(source_ + "/" + name, bytes);
      testsupport::StderrCapture direct;
      EXPECT_EQ(stage((source_ + "/" + name).c_str(), (dir_ / "out.bmp").c_str()), 1) << what;
      EXPECT_NE(direct.Finish().find("too large"), std::string::npos) << what;
    }
  }
}

TEST_F(PipelineTest, NamesMatchingNoStageAreConvertedByTheirContent) {
  SetEarlierWallpaper();
  struct Case {
    const char* name;
    const char* kind;  // nullptr: bytes that are no picture
    int delete_source;
    const char* final_name;  // LocalName once a picture is set, else nullptr
  } const cases[] = {
      {"photo?id=42", "jpeg", 1, "photo_id_42.bmp"},
      {"img", "png", 1, "img.bmp"},
      {"index.html", "gif", 1, "index.html.bmp"},
      {"\x83\x41 sea", "webp", 1, "_a_sea.bmp"},
      {"blob", nullptr, 1, nullptr},
      // A name that matches a stage is believed: the JPEG stage fails cleanly.
      {"sea.jpg", "webp", 1, nullptr},
      {"photo?id=42", "jpeg", 0, "photo_id_42.bmp"},
      {"img", "png", 0, "img.bmp"},
      {"blob", nullptr, 0, nullptr},
  };
  for (const Case& c : cases) {
    const std::string what = std::string(c.name) + (c.delete_source ? " downloaded" : " local");
    const std::string folder = c.delete_source ? temp_ : source_;
    const std::string path = folder + "/" + c.name;
    const std::string reference = dir_ / "reference";
    if (c.kind != nullptr) {
      pictures::Draw(c.kind, reference);
    } else {
      testsupport::WriteFile(reference, "<html>no picture here</html>");
    }
    std::filesystem::copy_file(reference, path, std::filesystem::copy_options::overwrite_existing);
    const std::string before = Stored();
    testsupport::StderrCapture capture;
    Apply(folder, c.name, c.delete_source);
    const std::string said = capture.Finish();

    if (c.final_name != nullptr) {
      pictures::ExpectPicture(LayerWallpaperStorePath(), reference, c.kind);
      EXPECT_STREQ(LocalName, c.final_name) << what;
    } else {
      EXPECT_EQ(Stored(), before) << what;
      EXPECT_NE(said, "") << what;
    }
    EXPECT_TRUE(ListDir(WorkFolder()).empty()) << what;
    if (c.delete_source == 0) {
      // A local picture is read where it is, under its own name, and kept.
      EXPECT_EQ(ListDir(source_), std::vector<std::string>{c.name}) << what;
      EXPECT_EQ(ReadFile(path), ReadFile(reference)) << what;
      std::filesystem::remove(path);
    }
  }
}

TEST_F(PipelineTest, NothingIsWrittenBesideALocalPicture) {
  pictures::Draw("gif", source_ + "/sea.gif");
  const std::string original = ReadFile(source_ + "/sea.gif");
  // Without TEMP, and with TEMP naming the picture's own folder.
  for (bool unset : {true, false}) {
    if (unset) {
      unsetenv("TEMP");
    } else {
      setenv("TEMP", source_.c_str(), 1);
    }
    Apply(source_, "sea.gif", 0);
    EXPECT_EQ(ListDir(source_), std::vector<std::string>{"sea.gif"}) << unset;
    EXPECT_EQ(ReadFile(source_ + "/sea.gif"), original) << unset;
  }
}

TEST_F(PipelineTest, OutputsAreMadeAfreshInTheWorkFolder) {
  // A link left where a stage writes would send the bitmap to its target.
  const std::string outside = dir_ / "outside.bmp";
  testsupport::WriteFile(outside, "the user's own");
  std::filesystem::create_symlink(outside, WorkFolder() + "sea.bmp");
  pictures::Draw("jpeg", source_ + "/sea.jpg");
  Apply(source_, "sea.jpg", 0);
  EXPECT_EQ(ReadFile(outside), "the user's own");
  pictures::ExpectPicture(LayerWallpaperStorePath(), source_ + "/sea.jpg", "jpeg");
  EXPECT_TRUE(ListDir(WorkFolder()).empty());
}

}  // namespace
