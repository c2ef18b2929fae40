// djpeg -bmp on a 4000 x 3000 colour JPEG against the least any decoder to
// a file must do: the bare library decoding the same file and writing its
// rows unchanged. Prints the ratio of median wall times (target <= 1.25)
// and the peak memory of the standalone command (target <= width x height
// x 3 + 16 MiB).
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <jpeglib.h>

#include "bench_support.h"
#include "image_writer.h"

extern char** environ;

namespace {

constexpr int kWidth = 4000;
constexpr int kHeight = 3000;
constexpr int kRounds = 7;

bool MakePicture(const std::string& path) {
  const std::string script =
      "import sys, random\n"
      "from PIL import Image\n"
      "w, h = int(sys.argv[2]), int(sys.argv[3])\n"
      "ramp = Image.linear_gradient('L')\n"
      "bands = [ramp.rotate(a).resize((w, h)) for a in (0, 90, 180)]\n"
      "noise = Image.frombytes('RGB', (w, h), random.Random(5).randbytes(w * h * 3))\n"
      "Image.blend(Image.merge('RGB', bands), noise, 0.15).save(sys.argv[1], 'JPEG', quality=90)\n";
  const std::string command = std::string(SKERROW_PYTHON) + " -c \"" + script + "\" '" + path + "' " +
                              std::to_string(kWidth) + " " + std::to_string(kHeight);
  return std::system(command.c_str()) == 0;
}

// The baseline: decode and write each row as the library delivers it.
void BareDecode(const std::string& input, const std::string& output) {
  jpeg_decompress_struct decompressor;
  jpeg_error_mgr errors;
  decompressor.err = jpeg_std_error(&errors);
  jpeg_create_decompress(&decompressor);
  std::FILE* in = std::fopen(input.c_str(), "rb");
  std::FILE* out = std::fopen(output.c_str(), "wb");
  if (in == nullptr || out == nullptr) std::exit(2);
  jpeg_stdio_src(&decompressor, in);
  jpeg_read_header(&decompressor, TRUE);
  jpeg_start_decompress(&decompressor);
  const std::size_t row_bytes = std::size_t{decompressor.output_width} * decompressor.output_components;
  JSAMPARRAY row = (*decompressor.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&decompressor), JPOOL_IMAGE,
                                                     static_cast<JDIMENSION>(row_bytes), 1);
  while (decompressor.output_scanline < decompressor.output_height) {
    jpeg_read_scanlines(&decompressor, row, 1);
    std::fwrite(row[0], 1, row_bytes, out);
  }
  jpeg_finish_decompress(&decompressor);
  jpeg_destroy_decompress(&decompressor);
  std::fclose(in);
  std::fclose(out);
}

// What any whole-picture store costs before a single sample is decoded:
// fresh memory of the store's size, touched once per page.
void TouchStore() {
  const std::size_t bytes = std::size_t{kWidth} * 3 * kHeight;
  auto* store = static_cast<volatile char*>(std::malloc(bytes));
  if (store == nullptr) std::exit(2);
  for (std::size_t at = 0; at < bytes; at += 4096) store[at] = 1;
  std::free(const_cast<char*>(store));
}

int DjpegBmp(const std::string& input, const std::string& output) {
  std::string words[] = {"djpeg", "-bmp", input, output};
  char* argv[] = {words[0].data(), words[1].data(), words[2].data(), words[3].data(), nullptr};
  return RunDjpeg(4, argv);
}

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Wall and processor seconds of one call; the second tells a busy machine
// from a slow program.
struct Timing {
  double wall;
  double cpu;
};

template <typename Work>
Timing Measure(Work work) {
  const double cpu = CpuSeconds();
  const auto start = std::chrono::steady_clock::now();
  work();
  return {std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), CpuSeconds() - cpu};
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// Peak resident memory of a child, in bytes; -1 if it failed.
long PeakOfChild(pid_t child) {
  int status = 0;
  rusage usage{};
  if (wait4(child, &status, 0, &usage) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
  return usage.ru_maxrss * 1024L;
}

long PeakOfCommand(const std::string& input, const std::string& output) {
  std::string words[] = {SKERROW_DJPEG_COMMAND, "-bmp", input, output};
  char* argv[] = {words[0].data(), words[1].data(), words[2].data(), words[3].data(), nullptr};
  pid_t child = 0;
  if (posix_spawn(&child, argv[0], nullptr, nullptr, argv, environ) != 0) return -1;
  return PeakOfChild(child);
}

long PeakOfBaseline(const std::string& input, const std::string& output) {
  const pid_t child = fork();
  if (child == 0) {
    BareDecode(input, output);
    _exit(0);
  }
  return child < 0 ? -1 : PeakOfChild(child);
}

}  // namespace

int main() {
  std::string pattern = bench::ScratchFolder() + "/djpeg-bench-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) return 2;
  const std::string dir = pattern;
  const std::string input = dir + "/picture.jpg";
  const std::string bmp = dir + "/picture.bmp";
  const std::string rows = dir + "/picture.rows";
  if (!MakePicture(input)) return 2;

  BareDecode(input, rows);  // warm the page cache for both
  if (DjpegBmp(input, bmp) != 0) return 2;
  std::vector<double> baseline, baseline_cpu;
  std::vector<double> djpeg, djpeg_cpu;
  std::vector<double> touch, touch_cpu;
  for (int round = 0; round < kRounds; ++round) {
    const Timing bare = Measure([&] { BareDecode(input, rows); });
    const Timing ours = Measure([&] { DjpegBmp(input, bmp); });
    const Timing store = Measure(TouchStore);
    touch.push_back(store.wall);
    touch_cpu.push_back(store.cpu);
    baseline.push_back(bare.wall);
    baseline_cpu.push_back(bare.cpu);
    djpeg.push_back(ours.wall);
    djpeg_cpu.push_back(ours.cpu);
  }
  const double ratio = Median(djpeg) / Median(baseline);
  const long peak = PeakOfCommand(input, bmp);
  const long baseline_peak = PeakOfBaseline(input, rows);
  const long budget = 3L * kWidth * kHeight + 16L * 1024 * 1024;

  std::printf("picture: %d x %d colour JPEG, %ld bytes\n", kWidth, kHeight,
              static_cast<long>(std::filesystem::file_size(input)));
  std::printf("median of %d: djpeg -bmp %.3f s, bare library %.3f s, ratio %.3f (target <= 1.25): %s\n", kRounds,
              Median(djpeg), Median(baseline), ratio, ratio <= 1.25 ? "met" : "MISSED");
  std::printf("median processor time: djpeg -bmp %.3f s, bare library %.3f s, ratio %.3f\n", Median(djpeg_cpu),
              Median(baseline_cpu), Median(djpeg_cpu) / Median(baseline_cpu));
  std::printf("first touch of a fresh %.1f MiB store alone: %.3f s wall, %.3f s processor\n",
              3.0 * kWidth * kHeight / 1048576.0, Median(touch), Median(touch_cpu));
  std::printf("peak memory: djpeg -bmp %.1f MiB, bare library %.1f MiB, budget %.1f MiB: %s\n", peak / 1048576.0,
              baseline_peak / 1048576.0, budget / 1048576.0, peak >= 0 && peak <= budget ? "met" : "MISSED");

  std::filesystem::remove_all(dir);
  return 0;
}
