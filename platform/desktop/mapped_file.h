// A bitmap mapped rather than read: its pages are usually in the cache
// already, and the decoder reads each once.
#pragma once

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <span>

#include "bitmap_header.h"

namespace layer {

class MappedFile {
 public:
  explicit MappedFile(const char* path) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    struct stat info{};
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0) {
      // Only as far as the bitmap's headers say it reaches: what a file
      // holds past that is never read, however large.
      const auto file_size = static_cast<uint64_t>(info.st_size);
      unsigned char head[kBitmapHeadBytes];
      const size_t got = static_cast<size_t>(std::min<uint64_t>(sizeof head, file_size));
      BitmapLayout layout;
      const bool whole = pread(fd, head, got, 0) == static_cast<ssize_t>(got) &&
                         ReadBitmapHeader(head, got, file_size, &layout) == BitmapVerdict::kDrawable;
      const size_t size = static_cast<size_t>(whole ? layout.file_bytes : got);
      void* at = mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
      if (at != MAP_FAILED) {
        data_ = static_cast<const unsigned char*>(at);
        size_ = size;
      }
    }
    close(fd);
  }
  ~MappedFile() {
    if (data_ != nullptr) munmap(const_cast<unsigned char*>(data_), size_);
  }
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  bool ok() const { return data_ != nullptr; }
  std::span<const unsigned char> bytes() const { return {data_, size_}; }

 private:
  const unsigned char* data_ = nullptr;
  size_t size_ = 0;
};

}  // namespace layer
