// The standalone converters on tiny pictures that claim to be huge: each
// runs as a child of its own, so its processor time and peak resident size
// are its alone. Pictures within the wallpaper chain's size cap (16384 a
// side, 64 megapixels) are held to 2 s of processor time; the 30000 x 30000
// JPEG, beyond the cap, shows what the library itself costs without a limit
// and that a limit set by the user ends it at once.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "../tests/cjpeg/bomb_pictures.h"
#include "bench_support.h"

namespace {

constexpr double kMostSeconds = 2.0;  // per picture within the chain's cap

struct Usage {
  int status = -1;
  double seconds = 0;  // user plus system
  long peak_kib = 0;
};

// Runs a program (words[0] is its path) with its standard error silenced.
Usage Measure(const std::vector<std::string>& words) {
  Usage usage;
  const pid_t pid = fork();
  if (pid == 0) {
    std::freopen("/dev/null", "w", stderr);
    bench::Exec(words);
  }
  int status = 0;
  rusage resources{};
  if (wait4(pid, &status, 0, &resources) != pid) return usage;
  usage.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  usage.seconds = static_cast<double>(resources.ru_utime.tv_sec + resources.ru_stime.tv_sec) +
                  static_cast<double>(resources.ru_utime.tv_usec + resources.ru_stime.tv_usec) / 1e6;
  usage.peak_kib = resources.ru_maxrss;
  return usage;
}

struct Bomb {
  const char* name;
  std::string bytes;
  std::vector<std::string> switches;
  bool decodes;      // djpeg, else cjpeg
  bool within_cap;   // held to kMostSeconds
};

}  // namespace

int main() {
  std::string folder = bench::ScratchFolder() + "/bomb-bench-XXXXXX";
  if (mkdtemp(folder.data()) == nullptr) return 1;
  const std::vector<Bomb> bombs = {
      {"GIF 16384x4096", bombs::Gif(16384, 4096, false), {}, false, true},
      {"GIF 16384x4096 interlaced", bombs::Gif(16384, 4096, true), {}, false, true},
      {"Targa 16384x4096 top-down", bombs::Targa(16384, 4096, true), {}, false, true},
      {"Targa 16384x4096 bottom-up", bombs::Targa(16384, 4096, false), {}, false, true},
      {"BMP 16384x4096", bombs::Bmp(16384, 4096), {}, false, true},
      {"PPM 16384x4096", bombs::Ppm(16384, 4096), {}, false, true},
      {"GIF 65500x65500 interlaced, -maxmemory 100m", bombs::Gif(65500, 65500, true), {"-maxmemory", "100m"}, false,
       true},
      {"Targa 65535x65535, -maxmemory 100m", bombs::Targa(65535, 65535, false), {"-maxmemory", "100m"}, false, true},
      {"JPEG 16384x4096 -bmp", bombs::Jpeg(16384, 4096), {"-bmp"}, true, true},
      {"JPEG 30000x30000 -bmp, no limit", bombs::Jpeg(30000, 30000), {"-bmp"}, true, false},
      {"JPEG 30000x30000 -bmp, -maxmemory 100m", bombs::Jpeg(30000, 30000), {"-bmp", "-maxmemory", "100m"}, true,
       true},
  };
  std::printf("%-46s %6s %5s %9s %10s\n", "picture", "bytes", "exit", "cpu s", "peak MiB");
  bool all_met = true;
  for (const Bomb& bomb : bombs) {
    const std::string input = std::string(folder) + "/bomb";
    std::ofstream(input, std::ios::binary) << bomb.bytes;
    std::vector<std::string> words = {bomb.decodes ? SKERROW_DJPEG_COMMAND : SKERROW_CJPEG_COMMAND};
    words.insert(words.end(), bomb.switches.begin(), bomb.switches.end());
    words.push_back(input);
    words.push_back("/dev/null");
    const Usage usage = Measure(words);
    const bool met = !bomb.within_cap || usage.seconds <= kMostSeconds;
    all_met = all_met && met;
    std::printf("%-46s %6zu %5d %9.2f %10.1f%s\n", bomb.name, bomb.bytes.size(), usage.status, usage.seconds,
                static_cast<double>(usage.peak_kib) / 1024.0, met ? "" : "  over target");
    std::remove(input.c_str());
  }
  rmdir(folder.c_str());
  std::printf("target: at most %.1f s of processor time per picture within the cap: %s\n", kMostSeconds,
              all_met ? "met" : "NOT met");
  return all_met ? 0 : 1;
}
