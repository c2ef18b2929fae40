#include <gtest/gtest.h>

#include "cjpeg_oracle_helpers.h"
#include "pixel_source.h"
#include "test_support.h"

using testsupport::CallWithArgs;
using testsupport::StderrCapture;
using testsupport::TempDir;

namespace {

struct Outcome {
  int result;
  std::string err;
};

Outcome Cjpeg(const std::vector<std::string>& args) {
  StderrCapture capture;
  int result = CallWithArgs(RunCjpeg, args);
  return {result, capture.Finish()};
}

TEST(CjpegInput, FirstByteDecidesOrRefuses) {
  TempDir dir;
  testsupport::WriteFile(dir / "empty", "");
  testsupport::WriteFile(dir / "r.bin", "R0123456789");
  auto empty = Cjpeg({"cjpeg", dir / "empty", dir / "out.jpg"});
  EXPECT_EQ(empty.result, 1);
  EXPECT_EQ(empty.err, "Empty input file\n");
  auto unknown = Cjpeg({"cjpeg", dir / "r.bin", dir / "out.jpg"});
  EXPECT_EQ(unknown.result, 1);
  EXPECT_EQ(unknown.err, "Unrecognized input file format --- perhaps you need -targa\n");
}

}  // namespace
