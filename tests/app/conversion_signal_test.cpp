// A termination signal that arrives while the program converts a picture:
// the conversion ends at its next row, its files go, and the program then
// closes the way it always does.
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "../cjpeg/bomb_pictures.h"
#include "program_child.h"
#include "test_support.h"

namespace {

using programchild::Program;
using programchild::ProgramTest;

// Regular files anywhere under `folder`.
int FilesUnder(const std::string& folder) {
  int count = 0;
  std::error_code error;
  for (auto it = std::filesystem::recursive_directory_iterator(folder, error);
       !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
    if (it->is_regular_file(error)) ++count;
  }
  return count;
}

TEST_F(ProgramTest, SignalDuringAConversionClosesNormallyAndLeavesNoFiles) {
  // The largest picture the chain takes: its data end at once, so what
  // takes the time is encoding and decoding its 64 megapixels.
  const std::string picture = pictures_ + "/large.gif";
  const std::string bytes = bombs::Gif(16384, 4096, false);
  testsupport::WriteFile(picture, bytes);
  testsupport::WriteFile(folder_ + "/skerrow.cnf", "file://" + picture + "\n");

  Program program(folder_, temp_.c_str(), state_, dir_ / "stderr.txt");
  // The intermediate files exist only while a conversion runs.
  bool converting = false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!converting && program.Running() && std::chrono::steady_clock::now() < deadline) {
    converting = FilesUnder(temp_) > 0;
    if (!converting) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  ASSERT_TRUE(converting) << Log();
  EXPECT_EQ(program.Terminate(), 0) << Log();
  EXPECT_EQ(FilesUnder(temp_), 0);
  EXPECT_FALSE(testsupport::FileExists(Store())) << "the conversion ran to its end";
  EXPECT_EQ(testsupport::ReadFile(picture), bytes);
}

// A bitmap's header in front of a huge sparse file: the copy holds the
// picture's own bytes alone, and a termination signal ends the program at
// once, leaving no part of a copy and no work folder behind.
TEST_F(ProgramTest, AHugeFileBehindABitmapHeaderCostsOnlyThePictureAndASignalEndsIt) {
  const unsigned char header[] = {
      'B', 'M', 0x36, 0x6c, 0xdc, 0x02, 0, 0, 0, 0, 54, 0, 0, 0,  // file header: 48000054 bytes, pixels at 54
      40, 0, 0, 0, 0xa0, 0x0f, 0, 0, 0xa0, 0x0f, 0, 0,            // header size, 4000 x 4000
      1, 0, 24, 0, 0, 0, 0, 0, 0x00, 0x6c, 0xdc, 0x02,            // planes 1, 24 bits, plain rows, 48000000
      0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,             // resolution, colours
  };
  const std::string picture = pictures_ + "/huge.bmp";
  testsupport::WriteFile(picture, std::string(reinterpret_cast<const char*>(header), sizeof header));
  std::filesystem::resize_file(picture, std::uintmax_t{100} << 30);
  testsupport::WriteFile(folder_ + "/skerrow.cnf", "get-timer:1000\nfile://" + picture + "\n");

  Program program(folder_, temp_.c_str(), state_, dir_ / "stderr.txt");
  const std::string store = state_ + "/skerrow";
  ASSERT_TRUE(testsupport::WaitFor([&] { return !testsupport::ListDir(store).empty() || !program.Running(); }, 60000));
  EXPECT_EQ(program.Terminate(5000), 0) << Log();
  for (const std::string& name : testsupport::ListDir(store)) {
    EXPECT_EQ(name.rfind("wallpaper-", 0), 0u) << name;
    EXPECT_EQ(std::filesystem::file_size(store + "/" + name), 48000054u) << name;
  }
  EXPECT_TRUE(testsupport::ListDir(temp_).empty());
}

}  // namespace
