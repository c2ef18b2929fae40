// Drives one input reader the way the encoding command does, without the
// compressor's output side: header, then every row, recovering from a fatal
// error through the run's error manager.
#pragma once

#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "bomb_pictures.h"
#include "converter_support.h"
#include "cjpeg_oracle_helpers.h"
#include "pixel_source.h"
#include "test_support.h"

namespace readerrun {

using ReaderOpener = PixelSource* (*)(j_compress_ptr);

struct Outcome {
  bool finished = false;   // every row delivered without a fatal error
  std::string messages;    // what the run printed on the standard error
  long warnings = 0;
  bool one_row_per_call = true;
  cjpegoracle::Pixels pixels;  // as far as delivered
  int density_unit = 0;
  int x_density = 0;
  int y_density = 0;
};

namespace detail {

// Holds nothing with a destructor: a fatal error jumps back into it.
inline void Run(ReaderOpener open, const char* path, int trace_level, Outcome* out) {
  jpeg_compress_struct compressor;
  ConverterErrorManager manager;
  compressor.err = InitConverterErrorManager(&manager);
  jpeg_create_compress(&compressor);
  manager.pub.trace_level = trace_level;
  compressor.in_color_space = JCS_RGB;
  jpeg_set_defaults(&compressor);
  manager.input_file = std::fopen(path, "rb");
  if (manager.input_file != nullptr && setjmp(manager.escape) == 0) {
    PixelSource* source = (*open)(&compressor);
    source->InputFile = manager.input_file;
    (*source->ReadHeader)(&compressor, source);
    out->pixels.width = static_cast<int>(compressor.image_width);
    out->pixels.height = static_cast<int>(compressor.image_height);
    out->pixels.components = compressor.input_components;
    out->density_unit = compressor.density_unit;
    out->x_density = compressor.X_density;
    out->y_density = compressor.Y_density;
    if (compressor.data_precision != 8 ||
        compressor.in_color_space != (compressor.input_components == 1 ? JCS_GRAYSCALE : JCS_RGB))
      out->one_row_per_call = false;
    (*compressor.mem->realize_virt_arrays)(reinterpret_cast<j_common_ptr>(&compressor));
    const std::size_t row_bytes =
        static_cast<std::size_t>(compressor.image_width) * compressor.input_components;
    for (JDIMENSION row = 0; row < compressor.image_height; ++row) {
      if ((*source->ReadRows)(&compressor, source) != 1 || source->RowBufferHeight != 1)
        out->one_row_per_call = false;
      out->pixels.samples.append(reinterpret_cast<const char*>(source->RowBuffer[0]), row_bytes);
    }
    (*source->FinishReading)(&compressor, source);
    out->finished = true;
  }
  out->warnings = manager.pub.num_warnings;
  jpeg_destroy_compress(&compressor);
  CloseRunFiles(&manager);
}

}  // namespace detail

inline Outcome Read(ReaderOpener open, const std::string& path, int trace_level = 0) {
  Outcome out;
  testsupport::StderrCapture capture;
  detail::Run(open, path.c_str(), trace_level, &out);
  out.messages = capture.Finish();
  return out;
}

// The cases of a trace test: silent at level 0, exactly `trace` at level 1.
inline void ExpectTraceAtLevelOne(ReaderOpener open, const std::string& path,
                                  const std::string& trace) {
  SCOPED_TRACE(trace);
  auto quiet = Read(open, path);
  EXPECT_TRUE(quiet.finished);
  EXPECT_EQ(quiet.messages, "");
  auto traced = Read(open, path, 1);
  EXPECT_TRUE(traced.finished);
  EXPECT_EQ(traced.messages, trace);
}

// The JPEG file the command writes for `input` with `switches`; empty when
// the run does not end with 0.
inline std::string CompressWithCommand(const std::vector<std::string>& switches,
                                       const std::string& input) {
  std::vector<std::string> args = {"cjpeg"};
  args.insert(args.end(), switches.begin(), switches.end());
  args.push_back(input);
  args.push_back(input + ".jpg");
  if (testsupport::CallWithArgs(RunCjpeg, args) != 0) return "";
  return testsupport::ReadFile(input + ".jpg");
}

// A suite whose pictures a script makes once, into a folder of their own.
class PictureSuite : public ::testing::Test {
 protected:
  static void MakePictures(const char* script) {
    folder_ = new testsupport::TempDir;
    auto run = testsupport::RunPython(script, {folder_->path()});
    ASSERT_EQ(run.exit_code, 0) << run.err;
  }
  static void TearDownTestSuite() {
    delete folder_;
    folder_ = nullptr;
  }
  static std::string Path(const std::string& name) { return *folder_ / name; }

 private:
  static inline testsupport::TempDir* folder_ = nullptr;
};

// Little-endian field writers for hand-made files.
using bombs::Put16;
using bombs::Put32;
using bombs::Put8;

}  // namespace readerrun
