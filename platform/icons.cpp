// A rock in the sea under the sun, in a dark frame: a picture about to become
// wallpaper. One digit per pixel, a 16-colour palette index.
#include "icons.h"

#include <strings.h>

#include <array>
#include <cstdint>

namespace layer {
namespace {

constexpr uint32_t kPalette[16] = {
    0x000000,  // 0 frame
    0x000080,  // 1 deep water
    0x2060C0,  // 2 water
    0x80C0FF,  // 3 sky
    0xFFFFFF,  // 4 foam
    0xFFD800,  // 5 sun
    0xFF8000,  // 6 (unused)
    0x404040,  // 7 rock in shade
    0x808080,  // 8 rock
    0xC0C0C0,  // 9 (unused)
    0x208020,  // a moss
    0x60C040,  // b moss in light
    0x805020,  // c (unused)
    0x800000,  // d (unused)
    0xE02020,  // e (unused)
    0x00C0C0,  // f (unused)
};

constexpr const char* kLarge[32] = {
    "00000000000000000000000000000000",
    "03333333333333333333333333333330",
    "03333333333333333333333333333330",
    "03333333333333333333333333333330",
    "03333333333333333333555555333330",
    "03333333333333333335555555533330",
    "03333333333333333335555555533330",
    "03333333333333333335555555533330",
    "03333333333333333335555555533330",
    "03333333333333333335555555533330",
    "03333333333333333335555555533330",
    "03333333333333333333555555333330",
    "03333333333333333333333333333330",
    "0333333333aaaa333333333333333330",
    "03333333aaaaaaab3333333333333330",
    "0333333aa888887bb333333333333330",
    "033333a8888888777b33333333333330",
    "03333a888888887777b3333333333330",
    "03333a888888887777b3333333333330",
    "0333a88888888877777b333333333330",
    "022a8888888888777777b22222222220",
    "022a8888888888777777b44422244420",
    "02288888888888777777722222222220",
    "02222222222222222222222222222220",
    "04422244422244422244422244422240",
    "02222222222222222222222222222220",
    "01111111111111111111111111111110",
    "01144411144411144411144411144410",
    "01111111111111111111111111111110",
    "01111111111111111111111111111110",
    "04411144411144411144411144411140",
    "00000000000000000000000000000000",
};

constexpr const char* kSmall[16] = {
    "0000000000000000",
    "0333333333333330",
    "0333333333555330",
    "0333333335555530",
    "0333333335555530",
    "0333333333555330",
    "0333333333333330",
    "0333a88b33333330",
    "0338888773333330",
    "03a888877b333330",
    "0a88888777b42440",
    "0222222222222220",
    "0222222222222220",
    "0441441441441440",
    "0111111111111110",
    "0000000000000000",
};

constexpr uint8_t HexValue(char c) {
  return static_cast<uint8_t>(c <= '9' ? c - '0' : c - 'a' + 10);
}

template <int N>
constexpr std::array<uint8_t, N * N> Pixels(const char* const (&rows)[N]) {
  std::array<uint8_t, N * N> pixels{};
  for (int y = 0; y < N; ++y)
    for (int x = 0; x < N; ++x) pixels[y * N + x] = HexValue(rows[y][x]);
  return pixels;
}

constexpr auto kLargePixels = Pixels(kLarge);
constexpr auto kSmallPixels = Pixels(kSmall);

struct ProgramIcon {
  const char* name;
  int size;
  const uint8_t* pixels;
};

constexpr ProgramIcon kIcons[] = {
    {"TEST_ICON", 32, kLargePixels.data()},   // the window class's icon
    {"TESTM_ICON", 16, kSmallPixels.data()},  // the notification-area icon
};

}  // namespace

int ProgramIconIndex(const char* name) {
  for (int i = 0; i < static_cast<int>(std::size(kIcons)); ++i)
    if (strcasecmp(name, kIcons[i].name) == 0) return i;
  return -1;
}

bool ProgramIconImage(int index, LayerIconImage* image) {
  if (index < 0 || index >= static_cast<int>(std::size(kIcons))) return false;
  image->width = image->height = kIcons[index].size;
  image->bits_per_pixel = 4;
  image->pixels = kIcons[index].pixels;
  image->palette = kPalette;
  return true;
}

}  // namespace layer
