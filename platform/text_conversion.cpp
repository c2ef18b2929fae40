// CP932, the layer's ANSI code page, to and from UTF-8.
#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <string_view>

#include "layer_control.h"
#include "text_conversion.h"

namespace {

constexpr std::string_view kUtf8Replacement = "\xEF\xBF\xBD";

}  // namespace

namespace layer {

bool ConvertText(const char* to, const char* from, std::string_view text, const Replacement* replacement,
             std::string* out, bool* replaced) {
  out->reserve(text.size() * 3 / 2 + 4);
  iconv_t converter = iconv_open(to, from);
  if (converter == reinterpret_cast<iconv_t>(-1)) return false;
  std::string input(text);
  char* in = input.data();
  size_t in_left = input.size();
  char chunk[256];
  bool whole = true;
  while (in_left > 0) {
    char* out_ptr = chunk;
    size_t out_left = sizeof chunk;
    size_t result = iconv(converter, &in, &in_left, &out_ptr, &out_left);
    out->append(chunk, static_cast<size_t>(out_ptr - chunk));
    if (result == static_cast<size_t>(-1) && errno != E2BIG) {
      if (replacement == nullptr) {
        whole = false;
        break;
      }
      *out += replacement->bytes;  // an invalid or cut-off unit: replace and go on
      if (replaced != nullptr) *replaced = true;
      size_t skip = std::min(replacement->input_unit, in_left);
      in += skip;
      in_left -= skip;
      iconv(converter, nullptr, nullptr, nullptr, nullptr);
    }
  }
  iconv_close(converter);
  return whole;
}

}  // namespace layer

using layer::ConvertText;
using layer::Replacement;

std::string LayerCp932ToUtf8(std::string_view text) {
  std::string out;
  const Replacement mark = {kUtf8Replacement};
  if (!ConvertText("UTF-8", "CP932", text, &mark, &out)) {
    // No converter: keep ASCII, mark everything else.
    out.clear();
    for (char c : text) out += static_cast<unsigned char>(c) < 0x80 ? std::string(1, c) : "\xEF\xBF\xBD";
  }
  return out;
}

bool LayerUtf8ToCp932(std::string_view text, std::string* cp932) {
  cp932->clear();
  return ConvertText("CP932", "UTF-8", text, nullptr, cp932);
}

