// The wallpaper store: a whole bitmap is stored in one step before the call
// returns; anything else leaves the stored wallpaper as it was.
#include <windows.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>

#include <gtest/gtest.h>

#include "layer_control.h"
#include "message_log_helpers.h"
#include "picture_probe.h"
#include "test_support.h"

using namespace platformtest;
using testsupport::ListDir;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

class WallpaperTest : public LayerTest {
 protected:
  void SetUp() override {
    LayerTest::SetUp();
    saved_state_home_ = Saved("XDG_STATE_HOME");
    saved_home_ = Saved("HOME");
    setenv("XDG_STATE_HOME", state_.path().c_str(), 1);
    store_ = state_.path() + "/skerrow";
  }
  void TearDown() override {
    Restore("XDG_STATE_HOME", saved_state_home_);
    Restore("HOME", saved_home_);
    LayerTest::TearDown();
  }
  static std::optional<std::string> Saved(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? std::optional<std::string>(value) : std::nullopt;
  }
  static void Restore(const char* name, const std::optional<std::string>& value) {
    if (value)
      setenv(name, value->c_str(), 1);
    else
      unsetenv(name);
  }
  // A picture drawn by Pillow in the given format and mode.
  std::string Picture(const std::string& name, const std::string& format, const std::string& mode,
                      int width = 7, int height = 3) {
    std::string path = files_ / name;
    auto result = testsupport::RunPython(
        "import sys\nfrom PIL import Image\n"
        "w, h = int(sys.argv[4]), int(sys.argv[5])\n"
        "im = Image.new('RGB', (w, h))\n"
        "im.putdata([((x * 37) % 256, (y * 91) % 256, (x * y * 13) % 256) for y in range(h) for x in range(w)])\n"
        "if sys.argv[3] != 'RGB': im = im.convert(sys.argv[3])\n"
        "im.save(sys.argv[1], sys.argv[2])\n",
        {path, format, mode, std::to_string(width), std::to_string(height)});
    EXPECT_EQ(result.exit_code, 0) << result.err;
    return path;
  }
  BOOL Set(const std::string& path, UINT flags = 0) {
    return SystemParametersInfoA(SPI_SETDESKWALLPAPER, 0, const_cast<char*>(path.c_str()), flags);
  }
  TempDir state_;
  TempDir files_;
  std::string store_;  // the folder of the stored copies
  std::optional<std::string> saved_state_home_, saved_home_;
};

TEST_F(WallpaperTest, StoresACopyBeforeReturningAndTellsWhichFile) {
  std::string first = Picture("first.bmp", "BMP", "RGB");
  std::string bytes = ReadFile(first);
  testsupport::StderrCapture capture;
  ASSERT_TRUE(Set(first));
  std::remove(first.c_str());  // the caller deletes its file right away
  const std::string first_copy = LayerWallpaperStorePath();
  EXPECT_EQ(first_copy, store_ + "/wallpaper-1.bmp");
  EXPECT_EQ(capture.Finish(), "wallpaper: " + first_copy + "\n");  // the copy, which stays
  EXPECT_EQ(ReadFile(first_copy), bytes);

  char buffer[MAX_PATH * 4];
  ASSERT_TRUE(SystemParametersInfoA(SPI_GETDESKWALLPAPER, sizeof buffer, buffer, 0));
  EXPECT_EQ(std::string(buffer), first_copy);
  char small[8];
  EXPECT_FALSE(SystemParametersInfoA(SPI_GETDESKWALLPAPER, sizeof small, small, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_STREQ(small, "");  // never a cut path

  // The next one, even of the same picture, gets a name of its own, since
  // a desktop takes a known name as no change; without a desktop the old
  // copy goes at once.
  std::string second = Picture("second.bmp", "BMP", "P", 40, 20);
  for (const char* name : {"wallpaper-2.bmp", "wallpaper-3.bmp"}) {
    ASSERT_TRUE(Set(second));
    EXPECT_EQ(LayerWallpaperStorePath(), store_ + "/" + name);
    EXPECT_EQ(ReadFile(LayerWallpaperStorePath()), ReadFile(second));
    EXPECT_EQ(ListDir(store_), std::vector<std::string>{name});
  }
  struct stat info{};
  ASSERT_EQ(stat(LayerWallpaperStorePath().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST_F(WallpaperTest, AnythingButAWholeBitmapIsRefusedAndTheOldOneKept) {
  std::string good = Picture("good.bmp", "BMP", "RGB");
  ASSERT_TRUE(Set(good));
  const std::string kept_path = LayerWallpaperStorePath();
  const std::string kept = ReadFile(kept_path);

  std::string bmp_bytes = ReadFile(Picture("cut.bmp", "BMP", "RGB", 16, 16));
  WriteFile(files_ / "cut.bmp", bmp_bytes.substr(0, bmp_bytes.size() - 5));
  std::string bad_header = bmp_bytes;
  bad_header[14] = 99;  // a header size no bitmap has
  WriteFile(files_ / "header.bmp", bad_header);
  std::string no_planes = bmp_bytes;
  no_planes[26] = 2;
  WriteFile(files_ / "planes.bmp", no_planes);
  WriteFile(files_ / "text.bmp", "BM but not a bitmap at all, only words");
  WriteFile(files_ / "empty.bmp", "");
  mkdir((files_ / "folder.bmp").c_str(), 0700);
  mkfifo((files_ / "fifo.bmp").c_str(), 0600);  // must not wait for a writer

  struct Case {
    std::string path;
    DWORD error;
  };
  const Case cases[] = {
      {Picture("picture.gif", "GIF", "P"), ERROR_BAD_FORMAT},
      {Picture("picture.jpg", "JPEG", "RGB"), ERROR_BAD_FORMAT},
      {files_ / "cut.bmp", ERROR_BAD_FORMAT},
      {files_ / "header.bmp", ERROR_BAD_FORMAT},
      {files_ / "planes.bmp", ERROR_BAD_FORMAT},
      {files_ / "text.bmp", ERROR_BAD_FORMAT},
      {files_ / "empty.bmp", ERROR_BAD_FORMAT},
      {files_ / "folder.bmp", ERROR_BAD_FORMAT},
      {files_ / "fifo.bmp", ERROR_BAD_FORMAT},
      {files_ / "missing.bmp", ERROR_FILE_NOT_FOUND},
  };
  for (const Case& c : cases) {
    testsupport::StderrCapture capture;
    EXPECT_FALSE(Set(c.path)) << c.path;
    EXPECT_EQ(GetLastError(), c.error) << c.path;
    EXPECT_EQ(LayerWallpaperStorePath(), kept_path) << c.path;
    EXPECT_EQ(ReadFile(kept_path), kept) << c.path;
    // One line that says so, and nothing that claims a change.
    EXPECT_EQ(capture.Finish(), "wallpaper refused: " + c.path + ": " +
                                    (c.error == ERROR_BAD_FORMAT ? "not a complete bitmap" : "no such file") +
                                    "; the wallpaper stays\n");
  }
  EXPECT_EQ(ListDir(store_), std::vector<std::string>{"wallpaper-1.bmp"});
}

// A run-length coded bitmap need not state its length: the store reads no
// further than any encoder could have written, however large the file.
TEST_F(WallpaperTest, TheCopyOfACodedBitmapEndsWhereItsRowsMustEnd) {
  // 7 x 3 pixels, 8 bits, two colours, run-length coded with no size given.
  const unsigned char coded[] = {
      'B', 'M', 0, 0, 0, 0, 0, 0, 0, 0, 62, 0, 0, 0,  // file header: pixels at 62
      40, 0, 0, 0, 7, 0, 0, 0, 3, 0, 0, 0,            // header size, width 7, height 3
      1, 0, 8, 0, 1, 0, 0, 0, 0, 0, 0, 0,             // planes 1, 8 bits, run-length 8, no size
      0, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, // resolution, 2 colours
      0, 0, 255, 0, 255, 0, 0, 0,                     // red, blue
      7, 1, 0, 0, 7, 0, 0, 0, 7, 1, 0, 1,             // a row of blue, of red, of blue; the end
  };
  const std::string path = files_ / "runs.bmp";
  std::string bytes(reinterpret_cast<const char*>(coded), sizeof coded);
  WriteFile(path, bytes);
  std::filesystem::resize_file(path, uint64_t{256} << 20);
  testsupport::StderrCapture capture;
  ASSERT_TRUE(Set(path));
  capture.Finish();
  // 4 bytes a pixel of padded rows and an end to each row: 62 + 3 * (4 * 8 + 2) + 2.
  bytes.resize(166, '\0');  // the holes read as zeros
  EXPECT_EQ(ReadFile(LayerWallpaperStorePath()), bytes);
}

// A store that cannot take the picture refuses it with the reason, and
// leaves the copies it has as they were. (A full or read-only store: the
// bare X11 tests, where the screen must agree.)
TEST_F(WallpaperTest, AStoreThatCannotTakeThePictureSaysWhy) {
  const std::string picture = Picture("p.bmp", "BMP", "RGB", 160, 90);
  ASSERT_TRUE(Set(picture));
  const std::vector<std::string> kept = ListDir(store_);
  struct Case {
    DWORD error;
    const char* reason;
  } const cases[] = {
      {ERROR_ENVVAR_NOT_FOUND, "HOME is not set"},
      {ERROR_CANCELLED, "the program is closing"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reason);
    if (c.error == ERROR_ENVVAR_NOT_FOUND) {
      unsetenv("XDG_STATE_HOME");
      unsetenv("HOME");
    } else {
      LayerRequestClose();  // as a termination signal does
    }
    testsupport::StderrCapture capture;
    EXPECT_FALSE(Set(picture));
    EXPECT_EQ(GetLastError(), c.error);
    EXPECT_EQ(capture.Finish(), "wallpaper refused: " + picture + ": it could not be stored: " + c.reason +
                                    "; the wallpaper stays\n");
    setenv("XDG_STATE_HOME", state_.path().c_str(), 1);
    MSG msg;
    PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE);  // the close request is passed on
    EXPECT_EQ(ListDir(store_), kept);
  }
}

TEST_F(WallpaperTest, AcceptsTheOlderBitmapHeader) {
  // 2 x 1 pixels, 24 bits, with the 12-byte header; rows padded to 4 bytes.
  const unsigned char bytes[] = {
      'B', 'M', 34, 0, 0, 0, 0, 0, 0, 0, 26, 0, 0, 0,  // file header: size 34, pixels at 26
      12, 0, 0, 0,                                     // header size
      2, 0, 1, 0,                                      // width 2, height 1
      1, 0, 24, 0,                                     // planes 1, 24 bits
      0, 0, 255, 0, 255, 0, 0, 0,                      // red, green, padding
  };
  WriteFile(files_ / "old.bmp", std::string(reinterpret_cast<const char*>(bytes), sizeof bytes));
  testsupport::StderrCapture capture;
  EXPECT_TRUE(Set(files_ / "old.bmp"));
  capture.Finish();
  WriteFile(files_ / "short.bmp", std::string(reinterpret_cast<const char*>(bytes), sizeof bytes - 1));
  EXPECT_FALSE(Set(files_ / "short.bmp"));
}

// The chain's probe states a bitmap's size only from headers the store
// takes, or that it refuses as too large, which the chain then says.
TEST_F(WallpaperTest, TheStoreAndTheProbeReadBitmapHeadersAlike) {
  const std::string plain = ReadFile(Picture("plain.bmp", "BMP", "P", 16, 16));
  struct Case {
    const char* name;
    std::size_t at;
    std::string field;  // little-endian bytes written at `at`
    bool stored, size_stated;
  } const cases[] = {
      {"plain", 0, "BM", true, true},
      {"wide", 18, std::string("\x20\x4e\0\0", 4), false, true},  // 20000 pixels
      {"short header", 14, std::string("\x10\0\0\0", 4), false, false},
      {"run-length rows top first", 22, std::string("\xf0\xff\xff\xff\1\0\x08\0\1\0\0\0", 12), false, false},
  };
  for (const Case& c : cases) {
    std::string bytes = plain;
    bytes.replace(c.at, c.field.size(), c.field);
    const std::string path = files_ / (std::string(c.name) + ".bmp");
    WriteFile(path, bytes);
    testsupport::StderrCapture capture;
    EXPECT_EQ(Set(path) != FALSE, c.stored) << c.name;
    capture.Finish();
    std::FILE* file = std::fopen(path.c_str(), "rb");
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(ProbePicture(file).size_known, c.size_stated) << c.name;
    std::fclose(file);
  }
}

TEST_F(WallpaperTest, ThePathShownIsUtf8WhateverItWasWrittenIn) {
  std::string picture = ReadFile(Picture("p.bmp", "BMP", "RGB"));
  const std::string cut = picture.substr(0, picture.size() - 1);
  const std::string cp932_name = "\x90V\x8bK.bmp";  // 新規.bmp in CP932
  const std::string utf8_name = "新規.bmp";
  WriteFile(files_ / cp932_name, cut);
  WriteFile(files_ / utf8_name, cut);
  testsupport::StderrCapture capture;
  EXPECT_FALSE(Set(files_ / cp932_name));
  EXPECT_FALSE(Set(files_ / utf8_name));
  const std::string line = "wallpaper refused: " + files_.path() + "/新規.bmp: not a complete bitmap; the wallpaper stays\n";
  EXPECT_EQ(capture.Finish(), line + line);
}

TEST_F(WallpaperTest, StorePlaceFollowsTheEnvironment) {
  std::string picture = Picture("p.bmp", "BMP", "RGB");
  setenv("HOME", (files_ / "home").c_str(), 1);
  setenv("XDG_STATE_HOME", (state_.path() + "/").c_str(), 1);
  ASSERT_TRUE(Set(picture));
  EXPECT_EQ(LayerWallpaperStorePath(), store_ + "/wallpaper-1.bmp");
  setenv("XDG_STATE_HOME", "relative/state", 1);  // relative values do not count
  EXPECT_EQ(LayerWallpaperStorePath(), "");
  ASSERT_TRUE(Set(picture));
  EXPECT_EQ(LayerWallpaperStorePath(), files_ / "home/.local/state/skerrow/wallpaper-1.bmp");
  unsetenv("XDG_STATE_HOME");
  unsetenv("HOME");
  EXPECT_EQ(LayerWallpaperStorePath(), "");
  EXPECT_FALSE(Set(picture));

  // A store folder that cannot be made fails the call.
  WriteFile(files_ / "plain-file", "x");
  setenv("XDG_STATE_HOME", (files_ / "plain-file").c_str(), 1);
  EXPECT_FALSE(Set(picture));
}

TEST_F(WallpaperTest, NoPathClearsTheWallpaperAndChangesCanBeAnnounced) {
  HWND top = CreateLogged();
  HWND child = CreateLogged(WS_CHILD, top, 1);
  std::string picture = Picture("p.bmp", "BMP", "RGB");
  testsupport::StderrCapture capture;
  Log().clear();
  ASSERT_TRUE(Set(picture, SPIF_UPDATEINIFILE | SPIF_SENDWININICHANGE));
  ExpectMessages({{WM_SETTINGCHANGE, top, SPI_SETDESKWALLPAPER}}, "announced to top-level windows");
  ASSERT_TRUE(Set(picture));
  ExpectMessages({}, "not announced");
  EXPECT_TRUE(SystemParametersInfoA(SPI_SETDESKWALLPAPER, 0, const_cast<char*>(""), 0));
  EXPECT_TRUE(ListDir(store_).empty());
  char buffer[64] = "untouched";
  EXPECT_TRUE(SystemParametersInfoA(SPI_GETDESKWALLPAPER, sizeof buffer, buffer, 0));
  EXPECT_STREQ(buffer, "");
  capture.Finish();
  EXPECT_FALSE(SystemParametersInfoA(0x9999, 0, nullptr, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_SPI_VALUE));
  (void)child;
}

// The program's own bitmap becomes the stored copy by a second link and one
// sync; anything else is copied, so a later change to it cannot reach the
// desktop's file.
TEST_F(WallpaperTest, OnlyTheProgramsOwnBitmapIsStoredByALink) {
  char work[MAX_PATH];
  ASSERT_NE(GetTempPathA(sizeof work, work), 0u);
  // The store beside the work folder, on its file system.
  const std::string state = std::string(work) + "state";
  setenv("XDG_STATE_HOME", state.c_str(), 1);
  const std::string bytes = ReadFile(Picture("p.bmp", "BMP", "RGB", 30, 20));
  struct Case {
    const char* what;
    std::string path;
    bool second_name, linked;
  } const cases[] = {
      {"the chain's bitmap", std::string(work) + "p.bmp", false, true},
      {"a user's file", files_ / "q.bmp", false, false},
      {"a work file with another name", std::string(work) + "r.bmp", true, false},
  };
  for (const Case& c : cases) {
    WriteFile(c.path, bytes);
    if (c.second_name) {
      ASSERT_EQ(link(c.path.c_str(), (c.path + "2").c_str()), 0);
    }
    testsupport::StderrCapture capture;
    ASSERT_TRUE(Set(c.path)) << c.what;
    capture.Finish();
    struct stat picture{}, stored{};
    ASSERT_EQ(stat(c.path.c_str(), &picture), 0);
    ASSERT_EQ(stat(LayerWallpaperStorePath().c_str(), &stored), 0);
    EXPECT_EQ(stored.st_ino == picture.st_ino, c.linked) << c.what;
    std::remove(c.path.c_str());  // as the chain does right after the call
    std::remove((c.path + "2").c_str());
    EXPECT_EQ(ReadFile(LayerWallpaperStorePath()), bytes) << c.what;
    ASSERT_EQ(stat(LayerWallpaperStorePath().c_str(), &stored), 0);
    EXPECT_EQ(stored.st_nlink, 1u) << c.what;
    EXPECT_EQ(ListDir(state + "/skerrow").size(), 1u) << c.what;
  }
  std::filesystem::remove_all(state);
}

}  // namespace
