// Header fields of bitmap files, written and read: little-endian whatever
// the machine.
#pragma once

#include <cstdint>

inline void Put16(unsigned char* at, std::uint32_t value) {
  at[0] = static_cast<unsigned char>(value);
  at[1] = static_cast<unsigned char>(value >> 8);
}

inline void Put32(unsigned char* at, std::uint32_t value) {
  Put16(at, value);
  Put16(at + 2, value >> 16);
}

inline std::uint32_t Get16(const unsigned char* at) { return at[0] | static_cast<std::uint32_t>(at[1]) << 8; }

inline std::uint32_t Get32(const unsigned char* at) { return Get16(at) | Get16(at + 2) << 16; }
