// Test pictures drawn with Pillow, the comparison of a stored wallpaper with
// the picture it came from, decoded by Pillow as well, and the fixture that
// runs the chain on files as the fetcher leaves them.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>

#include <gtest/gtest.h>
#include <windows.h>

#include "app_globals.h"
#include "fetch_globals.h"
#include "layer_control.h"
#include "test_support.h"
#include "wallpaper.h"

namespace pictures {

// Smooth drawings, so that the JPEG step's chroma subsampling stays small
// and any larger difference means a real fault. kind: gif, jpeg, bmp, png,
// webp (lossless);
// pictures of different `variant` (0 to 4) differ in colour everywhere.
inline void Draw(const std::string& kind, const std::string& path, int width = 96, int height = 64, int variant = 0) {
  static const char kScript[] = R"(
import sys
from PIL import Image
kind, path, w, h, v = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5])
if kind == 'gif':
    im = Image.new('P', (w, h))
    palette = []
    for i in range(256):
        palette += [i, 255 - i, 20 + 30 * v + i // 4]
    im.putpalette(palette)
    im.putdata([((x + y) * 255) // (w + h - 2) for y in range(h) for x in range(w)])
    im.save(path, 'GIF')
else:
    im = Image.new('RGB', (w, h))
    im.putdata([((x * 255) // (w - 1), (y * 255) // (h - 1), 20 + 30 * v + ((x + y) * 100) // (w + h))
                for y in range(h) for x in range(w)])
    formats = {'jpeg': ('JPEG', {'quality': 90}), 'bmp': ('BMP', {}), 'png': ('PNG', {}),
               'webp': ('WEBP', {'lossless': True})}
    im.save(path, formats[kind][0], **formats[kind][1])
)";
  testsupport::ProcessResult r =
      testsupport::RunPython(kScript, {kind, path, std::to_string(width), std::to_string(height), std::to_string(variant)});
  ASSERT_EQ(r.exit_code, 0) << r.err;
}

struct Difference {
  bool same_size = false;
  int max = 1 << 30;
  double mean = 1e9;
};

// Per-channel difference between a bitmap and its source, both read by Pillow.
inline Difference Compare(const std::string& bitmap, const std::string& source) {
  static const char kScript[] = R"(
import sys
from PIL import Image
a = Image.open(sys.argv[1]).convert('RGB')
b = Image.open(sys.argv[2]).convert('RGB')
if a.size != b.size:
    print(0, 0, 0)
    sys.exit(0)
da, db = a.tobytes(), b.tobytes()
diffs = [abs(x - y) for x, y in zip(da, db)]
print(1, max(diffs), sum(diffs) / len(diffs))
)";
  Difference d;
  testsupport::ProcessResult r = testsupport::RunPython(kScript, {bitmap, source});
  if (r.exit_code != 0) {
    ADD_FAILURE() << r.err;
    return d;
  }
  int same = 0;
  std::istringstream(r.out) >> same >> d.max >> d.mean;
  d.same_size = same == 1;
  return d;
}

// Within what passing through the library allows: a JPEG decoded twice by
// the same library differs by rounding at most; a GIF through quality 100
// adds colour subsampling on a smooth drawing.
inline void ExpectPicture(const std::string& bitmap, const std::string& source, const std::string& kind) {
  Difference d = Compare(bitmap, source);
  EXPECT_TRUE(d.same_size) << bitmap;
  int max_allowed = kind == "gif" ? 12 : kind == "jpeg" ? 6 : 0;
  double mean_allowed = kind == "gif" ? 2.5 : kind == "jpeg" ? 1.0 : 0.0;
  EXPECT_LE(d.max, max_allowed) << kind << " " << source;
  EXPECT_LE(d.mean, mean_allowed) << kind << " " << source;
}

// Runs the chain the way the fetcher does, with TEMP pointing at a folder of
// the test's own and the wallpaper kept under a private state folder.
class ChainTest : public ::testing::Test {
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

  // The folder the chain writes its files into.
  static std::string WorkFolder() {
    SetWorkDirFromTemp();
    return WorkDir;
  }

  std::string Stored() const { return testsupport::ReadFile(LayerWallpaperStorePath()); }

  // Sets an earlier wallpaper, so that a failure can be seen to keep it.
  std::string SetEarlierWallpaper() {
    const std::string earlier = dir_ / "earlier.bmp";
    Draw("bmp", earlier, 8, 8);
    char path[1024];
    std::snprintf(path, sizeof path, "%s", earlier.c_str());
    EXPECT_TRUE(SystemParametersInfoA(SPI_SETDESKWALLPAPER, 0, path, 0));
    return testsupport::ReadFile(earlier);
  }

  testsupport::TempDir dir_;
  std::string source_;
  std::string temp_;
  std::string saved_temp_;
  bool had_temp_ = false;
};

}  // namespace pictures
