// CP932, the layer's ANSI code page, to and from UTF-8 and wide text.
#include <windows.h>

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "layer_control.h"
#include "layer_model.h"

namespace {

constexpr std::string_view kUtf8Replacement = "\xEF\xBF\xBD";

// What stands in for input that has no counterpart: its bytes in the
// output's encoding, and how many input bytes it replaces. Without one the
// conversion fails there.
struct Replacement {
  std::string_view bytes;
  size_t input_unit = 1;
};

// Converts with iconv.
bool Convert(const char* to, const char* from, std::string_view text, const Replacement* replacement,
             std::string* out, bool* replaced = nullptr) {
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

}  // namespace

std::string LayerCp932ToUtf8(std::string_view text) {
  std::string out;
  const Replacement mark = {kUtf8Replacement};
  if (!Convert("UTF-8", "CP932", text, &mark, &out)) {
    // No converter: keep ASCII, mark everything else.
    out.clear();
    for (char c : text) out += static_cast<unsigned char>(c) < 0x80 ? std::string(1, c) : "\xEF\xBF\xBD";
  }
  return out;
}

bool LayerUtf8ToCp932(std::string_view text, std::string* cp932) {
  cp932->clear();
  return Convert("CP932", "UTF-8", text, nullptr, cp932);
}

namespace {

// The text a caller passes: `length` units, or up to and with its
// terminator when -1.
template <typename Unit>
bool CallerText(const Unit* text, int length, std::basic_string_view<Unit>* view) {
  if (text == nullptr || length < -1 || length == 0) return false;
  size_t size = length >= 0 ? static_cast<size_t>(length) : std::char_traits<Unit>::length(text) + 1;
  *view = {text, size};
  return true;
}

// Hands `converted` to a caller's buffer of `room` units, or says how many
// it needs when `room` is 0.
template <typename Unit>
int GiveText(std::basic_string_view<Unit> converted, Unit* out, int room) {
  if (converted.size() > static_cast<size_t>(INT32_MAX)) {
    layer::SetError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  int needed = static_cast<int>(converted.size());
  if (room == 0) return needed;
  if (needed > room) {
    layer::SetError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::copy(converted.begin(), converted.end(), out);
  return needed;
}

// The ANSI page (CP932) is the only one the layer knows.
bool AnsiPage(UINT code_page) { return code_page == CP_ACP || code_page == 932; }

}  // namespace

int WINAPI MultiByteToWideChar(UINT code_page, DWORD, LPCSTR text, int length, LPWSTR wide, int wide_length) {
  std::string_view input;
  if (!AnsiPage(code_page) || !CallerText(text, length, &input) || wide_length < 0 ||
      (wide_length > 0 && wide == nullptr)) {
    layer::SetError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  // Bytes with no character become U+FFFD, as Windows does without
  // MB_ERR_INVALID_CHARS.
  const wchar_t mark = 0xFFFD;
  const Replacement replacement = {{reinterpret_cast<const char*>(&mark), sizeof mark}, 1};
  std::string bytes;
  if (!Convert("WCHAR_T", "CP932", input, &replacement, &bytes)) {
    layer::SetError(ERROR_NO_UNICODE_TRANSLATION);
    return 0;
  }
  std::wstring converted(bytes.size() / sizeof(wchar_t), L'\0');
  std::memcpy(converted.data(), bytes.data(), converted.size() * sizeof(wchar_t));
  return GiveText<wchar_t>(converted, wide, wide_length);
}

int WINAPI WideCharToMultiByte(UINT code_page, DWORD, LPCWSTR wide, int length, LPSTR text, int text_length,
                               LPCSTR default_char, LPBOOL used_default) {
  std::wstring_view input;
  if (!AnsiPage(code_page) || !CallerText(wide, length, &input) || text_length < 0 ||
      (text_length > 0 && text == nullptr)) {
    layer::SetError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  // Characters CP932 lacks become the default character, '?' unless given.
  const Replacement replacement = {default_char != nullptr ? std::string_view(default_char, 1) : "?", sizeof(wchar_t)};
  std::string converted;
  bool replaced = false;
  std::string_view bytes(reinterpret_cast<const char*>(input.data()), input.size() * sizeof(wchar_t));
  if (!Convert("CP932", "WCHAR_T", bytes, &replacement, &converted, &replaced)) {
    layer::SetError(ERROR_NO_UNICODE_TRANSLATION);
    return 0;
  }
  if (used_default != nullptr) *used_default = replaced ? TRUE : FALSE;
  return GiveText<char>(converted, text, text_length);
}
