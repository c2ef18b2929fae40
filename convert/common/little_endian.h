// Header fields of the bitmap files both writers produce: little-endian
// whatever the machine.
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
