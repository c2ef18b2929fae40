// What the PNG and WebP stage harnesses share: the input and the bitmap as
// files the stage opens by name, and the check that a picture the stage
// calls done left a whole bitmap of the size its header states.
#pragma once

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "picture_limits.h"
#include "rgb_bitmap.h"

namespace stagefuzz {

// Canvases beyond this are only checked up to the size test, so that one
// input stays cheap; a refused size costs nothing and is run in full.
constexpr std::uint64_t kMostPixels = std::uint64_t{1} << 20;

constexpr bool WorthDecoding(std::uint64_t width, std::uint64_t height) {
  return width * height <= kMostPixels || !PictureSizeAllowed(width, height);
}

// A file in memory, rewritten for every input.
struct MemoryFile {
  int fd = -1;
  std::string path;
  explicit MemoryFile(const char* name) {
    fd = memfd_create(name, 0);
    if (fd < 0) std::abort();
    path = "/proc/self/fd/" + std::to_string(fd);
  }
  void Hold(const std::uint8_t* data, std::size_t size) {
    if (ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) std::abort();
  }
};

inline std::uint32_t Get32(const unsigned char* at) {
  return at[0] | at[1] << 8 | at[2] << 16 | static_cast<std::uint32_t>(at[3]) << 24;
}

// A stage that reports success must have written every row: a file as long
// as its header says, of the size the picture's header claimed. Aborts
// otherwise, so the fuzzer keeps the input.
inline void CheckBitmap(const MemoryFile& bitmap, std::uint32_t width, std::uint32_t height) {
  unsigned char header[54];
  struct stat status;
  if (pread(bitmap.fd, header, sizeof header, 0) != static_cast<ssize_t>(sizeof header) ||
      fstat(bitmap.fd, &status) != 0)
    std::abort();
  const std::uint64_t expected = sizeof header + std::uint64_t{BitmapRowBytes(width)} * height;
  if (Get32(header + 18) != width || Get32(header + 22) != height ||
      static_cast<std::uint64_t>(status.st_size) != expected || Get32(header + 2) != expected)
    std::abort();
}

}  // namespace stagefuzz
