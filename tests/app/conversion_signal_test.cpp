// A termination signal that arrives while the program converts a picture:
// the conversion ends at its next row, its files go, and the program then
// closes the way it always does.
#include <chrono>
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

}  // namespace
