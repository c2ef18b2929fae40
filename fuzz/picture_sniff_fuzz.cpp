// The chain's look at a file whose name matches no stage: the kind from the
// first bytes, the claimed size from the header probe, and the safe name the
// download is given. The first byte sets how many of the following bytes
// are the name; the rest is the file. Whatever the bytes, the probe stays
// within its read budget, agrees with the sniffing, and the safe name stays
// in its buffer, keeps to its characters and ends in the kind's extension.
#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "picture_limits.h"
#include "picture_probe.h"

namespace {

struct Counted {
  const std::uint8_t* data;
  std::size_t size;
  std::size_t at;
  std::size_t read;  // bytes handed out, over the whole probe
};

ssize_t CountedRead(void* cookie, char* buffer, std::size_t size) {
  auto* in = static_cast<Counted*>(cookie);
  std::size_t n = in->at < in->size ? std::min(size, in->size - in->at) : 0;
  std::memcpy(buffer, in->data + in->at, n);
  in->at += n;
  in->read += n;
  return static_cast<ssize_t>(n);
}

int CountedSeek(void* cookie, off64_t* offset, int whence) {
  auto* in = static_cast<Counted*>(cookie);
  const off64_t base = whence == SEEK_SET   ? 0
                       : whence == SEEK_CUR ? static_cast<off64_t>(in->at)
                                            : static_cast<off64_t>(in->size);
  if (base + *offset < 0) return -1;
  in->at = static_cast<std::size_t>(base + *offset);
  *offset = static_cast<off64_t>(in->at);
  return 0;
}

bool SafeCharacter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
         c == '-';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t name_length = std::min<std::size_t>(data[0], size - 1);
  const std::string name(reinterpret_cast<const char*>(data + 1), name_length);
  const std::uint8_t* content = data + 1 + name_length;
  const std::size_t content_size = size - 1 - name_length;

  Counted counted{content, content_size, 0, 0};
  cookie_io_functions_t functions{CountedRead, nullptr, CountedSeek, nullptr};
  std::FILE* file = fopencookie(&counted, "rb", functions);
  if (file == nullptr) std::abort();
  setvbuf(file, nullptr, _IONBF, 0);  // every read reaches the count
  const PictureHeader header = ProbePicture(file);
  std::fclose(file);

  if (counted.read > static_cast<std::size_t>(kProbeReadLimit) + 64) std::abort();
  if (header.kind != SniffPicture(content, std::min(content_size, kSniffBytes))) std::abort();
  if (header.kind == PictureKind::kUnknown && header.size_known) std::abort();
  if (header.size_known) (void)PictureSizeAllowed(header.width, header.height);

  char safe[128];
  MakeSafeName(name.c_str(), header.kind, safe, sizeof safe);
  const std::size_t length = std::strlen(safe);
  const char* extension = PictureExtension(header.kind);
  if (length >= sizeof safe || length < std::strlen(extension)) std::abort();
  if (std::strcmp(safe + length - std::strlen(extension), extension) != 0) std::abort();
  for (std::size_t i = 0; i < length; ++i)
    if (!SafeCharacter(safe[i])) std::abort();
  return 0;
}
