// What a picture file is and how large it claims to be, from its first
// bytes alone: the chain picks a stage for a name that tells nothing and
// refuses a picture too large to hold before any converter allocates for it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

enum class PictureKind { kUnknown, kGif, kJpeg, kBmp, kPng, kWebp };

// Bytes SniffPicture needs to tell every kind apart.
inline constexpr std::size_t kSniffBytes = 12;

// The kind the leading bytes announce; fewer than kSniffBytes may still be
// enough for the shorter signatures.
PictureKind SniffPicture(const unsigned char* bytes, std::size_t size);

// The extension whose stage takes a picture of that kind ("" for none).
const char* PictureExtension(PictureKind kind);

// Writes into `safe` (of `capacity` bytes, at least 16) `name` with every
// byte outside A-Z a-z 0-9 . _ - replaced by '_' and the kind's extension
// appended, the name cut short to fit: a name that can go into a folder
// without naming anything outside it or carrying a misleading extension.
void MakeSafeName(const char* name, PictureKind kind, char* safe, std::size_t capacity);

// Most bytes a probe reads, however the file is laid out; segments it skips
// are sought over, not read.
inline constexpr long kProbeReadLimit = 64 * 1024;

struct PictureHeader {
  PictureKind kind = PictureKind::kUnknown;
  bool size_known = false;  // false: the bytes read did not state it
  std::uint32_t width = 0;
  std::uint32_t height = 0;
};

// Opens `path` for reading only when it is a regular file, so that a FIFO
// or a device given as a picture can never hold the caller in an open or a
// read. Null when it cannot be opened; *regular then tells whether
// something other than a regular file stood there.
std::FILE* OpenPictureFile(const char* path, bool* regular);

// Reads `file` from its start. For a GIF, the logical screen when it is
// larger than allowed, else the first image; for a JPEG, the first frame
// header before the first scan.
PictureHeader ProbePicture(std::FILE* file);
