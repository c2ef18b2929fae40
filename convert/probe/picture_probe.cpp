// Signatures and size fields of the five picture formats the chain takes.
// Every read is counted against one budget and every skip is a seek, so a
// file of endless segments or sub-blocks costs a bounded amount of work.
#include "picture_probe.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "bitmap_header.h"
#include "little_endian.h"
#include "picture_limits.h"

namespace {

// The leading bytes that hold the size of a PNG or WebP picture, and all a
// bitmap's headers.
constexpr std::size_t kHeadBytes = kBitmapHeadBytes > 32 ? kBitmapHeadBytes : 32;

constexpr char kPlainStem[] = "picture";

constexpr unsigned char kPngSignature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

// GIF block introducers and flags.
constexpr int kGifExtension = 0x21;
constexpr int kGifImage = 0x2C;
constexpr int kGifTrailer = 0x3B;
constexpr unsigned kGifTableFlag = 0x80;
constexpr unsigned kGifTableSizeMask = 0x07;
constexpr long kGifScreenEnd = 13;

// JPEG markers that carry no length, and the frame headers among the rest.
constexpr int kJpegTem = 0x01;
constexpr int kJpegRst0 = 0xD0, kJpegRst7 = 0xD7;
constexpr int kJpegEoi = 0xD9, kJpegSos = 0xDA;
bool IsFrameHeader(int marker) {
  return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

std::uint32_t Get24(const unsigned char* p) { return Get16(p) | static_cast<std::uint32_t>(p[2]) << 16; }
std::uint32_t Big16(const unsigned char* p) { return static_cast<std::uint32_t>(p[0]) << 8 | p[1]; }
std::uint32_t Big32(const unsigned char* p) { return Big16(p) << 16 | Big16(p + 2); }

struct ProbeInput {
  std::FILE* file;
  long budget;  // bytes still allowed to be read
};

bool Read(ProbeInput& in, unsigned char* to, std::size_t count) {
  if (static_cast<long>(count) > in.budget) return false;
  in.budget -= static_cast<long>(count);
  return std::fread(to, 1, count, in.file) == count;
}

int ReadByte(ProbeInput& in) {
  unsigned char byte;
  return Read(in, &byte, 1) ? byte : EOF;
}

bool Skip(ProbeInput& in, long count) { return std::fseek(in.file, count, SEEK_CUR) == 0; }

void SetSize(PictureHeader& header, std::uint32_t width, std::uint32_t height) {
  header.size_known = true;
  header.width = width;
  header.height = height;
}

// Extensions are walked sub-block by sub-block; stray bytes between blocks
// are passed over one at a time, as the GIF reader does.
void ProbeGif(ProbeInput& in, const unsigned char* head, PictureHeader& header) {
  SetSize(header, Get16(head + 6), Get16(head + 8));
  if (!PictureSizeAllowed(header.width, header.height)) return;
  header.size_known = false;
  long table = (head[10] & kGifTableFlag) ? 3L * (2 << (head[10] & kGifTableSizeMask)) : 0;
  if (std::fseek(in.file, kGifScreenEnd + table, SEEK_SET) != 0) return;
  for (;;) {
    int introducer = ReadByte(in);
    if (introducer == EOF || introducer == kGifTrailer) return;
    if (introducer == kGifImage) {
      unsigned char descriptor[9];
      if (Read(in, descriptor, sizeof descriptor)) SetSize(header, Get16(descriptor + 4), Get16(descriptor + 6));
      return;
    }
    if (introducer != kGifExtension) continue;
    if (ReadByte(in) == EOF) return;  // the label
    for (int length; (length = ReadByte(in)) != 0;) {
      if (length == EOF || !Skip(in, length)) return;
    }
  }
}

// Markers up to the first frame header, each segment sought over; fill
// bytes and garbage before a marker are passed over as the decoder does.
void ProbeJpeg(ProbeInput& in, PictureHeader& header) {
  if (std::fseek(in.file, 2, SEEK_SET) != 0) return;
  for (;;) {
    int byte = ReadByte(in);
    while (byte != EOF && byte != 0xFF) byte = ReadByte(in);
    while (byte == 0xFF) byte = ReadByte(in);
    if (byte == EOF || byte == kJpegSos || byte == kJpegEoi) return;
    if (byte == 0 || byte == kJpegTem || (byte >= kJpegRst0 && byte <= kJpegRst7)) continue;
    unsigned char length_bytes[2];
    if (!Read(in, length_bytes, 2)) return;
    long length = static_cast<long>(Big16(length_bytes));
    if (length < 2) return;
    if (IsFrameHeader(byte)) {
      unsigned char frame[5];  // precision, height, width
      if (length < 2 + 5 || !Read(in, frame, sizeof frame)) return;
      // A height of 0 is given later by a DNL marker: not known from here.
      if (Big16(frame + 1) != 0) SetSize(header, Big16(frame + 3), Big16(frame + 1));
      return;
    }
    if (!Skip(in, length - 2)) return;
  }
}

// Only a header the bitmap reader finds sound, or too large, states a size:
// the store would refuse any other, so the chain has no size to go by.
void ProbeBmp(std::FILE* file, const unsigned char* head, std::size_t got, PictureHeader& header) {
  if (std::fseek(file, 0, SEEK_END) != 0) return;
  const long size = std::ftell(file);
  if (size < 0) return;
  BitmapLayout layout;
  const BitmapVerdict verdict = ReadBitmapHeader(head, got, static_cast<std::uint64_t>(size), &layout);
  if (verdict == BitmapVerdict::kDrawable || verdict == BitmapVerdict::kTooLarge)
    SetSize(header, layout.width, layout.height);
}

void ProbePng(const unsigned char* head, std::size_t got, PictureHeader& header) {
  if (got < 24 || std::memcmp(head + 12, "IHDR", 4) != 0) return;
  SetSize(header, Big32(head + 16), Big32(head + 20));
}

// The first chunk is a lossy frame, a lossless one, or the extended header
// that gives the canvas of a picture with alpha or animation.
void ProbeWebp(const unsigned char* head, std::size_t got, PictureHeader& header) {
  if (got < 30) return;
  const unsigned char* chunk = head + 12;
  const unsigned char* data = head + 20;
  if (std::memcmp(chunk, "VP8 ", 4) == 0) {
    if (data[3] == 0x9D && data[4] == 0x01 && data[5] == 0x2A)
      SetSize(header, Get16(data + 6) & 0x3FFF, Get16(data + 8) & 0x3FFF);
  } else if (std::memcmp(chunk, "VP8L", 4) == 0) {
    if (data[0] == 0x2F) {
      std::uint32_t bits = Get32(data + 1);
      SetSize(header, (bits & 0x3FFF) + 1, ((bits >> 14) & 0x3FFF) + 1);
    }
  } else if (std::memcmp(chunk, "VP8X", 4) == 0) {
    SetSize(header, Get24(data + 4) + 1, Get24(data + 7) + 1);
  }
}

}  // namespace

PictureKind SniffPicture(const unsigned char* bytes, std::size_t size) {
  auto starts = [&](const void* text, std::size_t length) {
    return size >= length && std::memcmp(bytes, text, length) == 0;
  };
  if (starts("GIF87a", 6) || starts("GIF89a", 6)) return PictureKind::kGif;
  if (starts("\xFF\xD8\xFF", 3)) return PictureKind::kJpeg;
  if (starts("BM", 2)) return PictureKind::kBmp;
  if (starts(kPngSignature, sizeof kPngSignature)) return PictureKind::kPng;
  if (starts("RIFF", 4) && size >= 12 && std::memcmp(bytes + 8, "WEBP", 4) == 0) return PictureKind::kWebp;
  return PictureKind::kUnknown;
}

const char* PictureExtension(PictureKind kind) {
  switch (kind) {
    case PictureKind::kGif: return ".gif";
    case PictureKind::kJpeg: return ".jpg";
    case PictureKind::kBmp: return ".bmp";
    case PictureKind::kPng: return ".png";
    case PictureKind::kWebp: return ".webp";
    case PictureKind::kUnknown: break;
  }
  return "";
}

void MakeSafeName(const char* name, PictureKind kind, char* safe, std::size_t capacity) {
  const char* extension = PictureExtension(kind);
  const std::size_t room = capacity - 1 - std::strlen(extension);
  std::size_t length = 0;
  for (; name[length] != '\0' && length < room; ++length) {
    const char c = name[length];
    const bool kept = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
                      c == '_' || c == '-';
    safe[length] = kept ? c : '_';
  }
  if (length == 0) {  // nothing of the name to keep
    std::memcpy(safe, kPlainStem, sizeof kPlainStem - 1);
    length = sizeof kPlainStem - 1;
  }
  std::strcpy(safe + length, extension);
}

std::FILE* OpenPictureFile(const char* path, bool* regular) {
  *regular = true;
  // Not blocking in the open: a FIFO without a writer would wait there.
  const int descriptor = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (descriptor < 0) return nullptr;
  struct stat status = {};
  if (fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
    *regular = false;
    close(descriptor);
    return nullptr;
  }
  std::FILE* file = fdopen(descriptor, "rb");
  if (file == nullptr) close(descriptor);
  return file;
}

PictureHeader ProbePicture(std::FILE* file) {
  PictureHeader header;
  ProbeInput in{file, kProbeReadLimit};
  unsigned char head[kHeadBytes] = {};
  if (std::fseek(file, 0, SEEK_SET) != 0) return header;
  std::size_t got = std::fread(head, 1, sizeof head, file);
  in.budget -= static_cast<long>(got);
  header.kind = SniffPicture(head, got);
  switch (header.kind) {
    case PictureKind::kGif:
      if (got >= kGifScreenEnd) ProbeGif(in, head, header);
      break;
    case PictureKind::kJpeg: ProbeJpeg(in, header); break;
    case PictureKind::kBmp: ProbeBmp(file, head, got, header); break;
    case PictureKind::kPng: ProbePng(head, got, header); break;
    case PictureKind::kWebp: ProbeWebp(head, got, header); break;
    case PictureKind::kUnknown: break;
  }
  return header;
}
