// Replays a fuzz harness over its committed seeds and regression inputs, so
// that every input that once failed keeps being checked on every build.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "test_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

int ReplayFolder(const std::string& folder) {
  int count = 0;
  std::error_code error;
  if (!std::filesystem::is_directory(folder, error)) return 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
    if (!entry.is_regular_file()) continue;
    std::string bytes = testsupport::ReadFile(entry.path().string());
    SCOPED_TRACE(entry.path().string());
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    ++count;
  }
  return count;
}

TEST(FuzzReplay, SeedsAndRegressionsRunCleanly) {
  std::string base = SKERROW_FUZZ_DIR;
  int seeds = ReplayFolder(base + "/seeds/" SKERROW_FUZZ_NAME);
  int regressions = ReplayFolder(base + "/regressions/" SKERROW_FUZZ_NAME);
  EXPECT_GT(seeds + regressions, 0) << "no inputs committed for " SKERROW_FUZZ_NAME;
}

}  // namespace
