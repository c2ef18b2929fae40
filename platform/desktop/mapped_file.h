// A stored picture mapped rather than read: its pages are usually in the
// cache already, and the decoder reads each once.
#pragma once

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <span>

namespace layer {

class MappedFile {
 public:
  explicit MappedFile(const char* path) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    struct stat info{};
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0) {
      void* at = mmap(nullptr, static_cast<size_t>(info.st_size), PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
      if (at != MAP_FAILED) {
        data_ = static_cast<const unsigned char*>(at);
        size_ = static_cast<size_t>(info.st_size);
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
