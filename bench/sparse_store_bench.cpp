// The store of a 4000 x 4000 bitmap (48 MB of pixels) from an ordinary file
// of its own size and from a 100 GB sparse file that holds the same picture
// at its start, as the wallpaper call stores it without a desktop. Median of
// several calls each, taken in turns. Target: the sparse file's store takes
// no longer than the ordinary file's (within the noise of a shared machine,
// a tenth), since only the bytes the headers name are read.
#include <windows.h>

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "bench_support.h"
#include "layer_control.h"

namespace {

constexpr int kRuns = 9;
constexpr int kSide = 4000;

// A 24-bit bitmap of kSide a side whose rows differ, so that no file
// system can take it for zeros.
std::string Bitmap() {
  const uint32_t row = kSide * 3, pixels = row * kSide;
  std::string bytes(54 + static_cast<size_t>(pixels), '\0');
  auto put = [&](size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>(value >> (8 * i));
  };
  bytes[0] = 'B', bytes[1] = 'M';
  put(2, 54 + pixels), put(10, 54), put(14, 40), put(18, kSide), put(22, kSide);
  bytes[26] = 1, bytes[28] = 24;
  put(34, pixels);
  for (size_t i = 54; i < bytes.size(); ++i) bytes[i] = static_cast<char>((i * 2654435761u) >> 13);
  return bytes;
}

double StoreMs(const std::string& path) {
  return bench::TimeMs([&] {
    if (!SystemParametersInfoA(SPI_SETDESKWALLPAPER, 0, const_cast<char*>(path.c_str()), 0)) {
      std::fprintf(stderr, "the store refused %s\n", path.c_str());
      std::exit(1);
    }
  });
}

}  // namespace

int main() {
  char folder_template[] = "/tmp/skerrow-sparse-bench-XXXXXX";
  if (mkdtemp(folder_template) == nullptr) return 1;
  const std::string folder = folder_template;
  setenv("XDG_STATE_HOME", (folder + "/state").c_str(), 1);
  const std::string ordinary = folder + "/ordinary.bmp", sparse = folder + "/sparse.bmp";
  const std::string bytes = Bitmap();
  for (const std::string& path : {ordinary, sparse}) std::ofstream(path, std::ios::binary) << bytes;
  std::filesystem::resize_file(sparse, std::uintmax_t{100} << 30);

  bench::Samples from_ordinary, from_sparse;
  for (int run = 0; run < kRuns; ++run) {  // in turns, each first as often, as the earlier copy goes meanwhile
    if (run % 2 == 0) from_ordinary.push_back(StoreMs(ordinary));
    from_sparse.push_back(StoreMs(sparse));
    if (run % 2 == 1) from_ordinary.push_back(StoreMs(ordinary));
  }
  const uintmax_t stored = std::filesystem::file_size(LayerWallpaperStorePath());
  const double ordinary_ms = bench::Median(from_ordinary), sparse_ms = bench::Median(from_sparse);
  std::printf("store of a %d x %d bitmap, median of %d\n", kSide, kSide, kRuns);
  const std::string ordinary_name = "from an ordinary file of " + std::to_string(bytes.size()) + " bytes:";
  std::printf("  %-42s %8.1f ms\n", ordinary_name.c_str(), ordinary_ms);
  std::printf("  %-42s %8.1f ms\n", "from a 100 GB sparse file:", sparse_ms);
  std::printf("  the copy holds %ju bytes\n", stored);
  const bool met = sparse_ms <= ordinary_ms * 1.1 && stored == bytes.size();
  std::printf("target (sparse within the ordinary's time, the copy the picture alone): %s\n", met ? "met" : "MISSED");
  std::filesystem::remove_all(folder);
  return met ? 0 : 1;
}
