// The largest picture the program turns into a wallpaper. The chain checks
// it from each picture's header and the decoders check it again from the
// header they parse, so a few bytes claiming a huge size never cost memory.
#pragma once

#include <cstdint>
#include <cstdio>

inline constexpr std::uint64_t kLargestPictureSide = 16384;
inline constexpr std::uint64_t kLargestPicturePixels = std::uint64_t{64} << 20;  // 64 megapixels

// Zero sides pass: they are the decoders' to refuse, with their own message.
constexpr bool PictureSizeAllowed(std::uint64_t width, std::uint64_t height) {
  return width <= kLargestPictureSide && height <= kLargestPictureSide && width * height <= kLargestPicturePixels;
}

// The one line a refused picture gets on the standard error stream.
inline void ReportPictureTooLarge(const char* name, std::uint64_t width, std::uint64_t height) {
  std::fprintf(stderr, "%s: %llu x %llu pixels is too large for a wallpaper (at most %llu a side, %llu in all)\n",
               name, static_cast<unsigned long long>(width), static_cast<unsigned long long>(height),
               static_cast<unsigned long long>(kLargestPictureSide),
               static_cast<unsigned long long>(kLargestPicturePixels));
}
