// Text from one encoding to another, as iconv names them.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace layer {

// What stands in for input that has no counterpart: its bytes in the
// output's encoding, and how many input bytes it replaces. Without one the
// conversion fails there.
struct Replacement {
  std::string_view bytes;
  size_t input_unit = 1;
};

// Converts `text`, appending to `out`; `replaced` (when given) tells
// whether anything was replaced.
bool ConvertText(const char* to, const char* from, std::string_view text, const Replacement* replacement,
             std::string* out, bool* replaced = nullptr);

}  // namespace layer
