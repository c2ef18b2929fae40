// MultiByteToWideChar and WideCharToMultiByte: the ANSI page (CP932) and
// wide text, which is UTF-32 here.
#include <windows.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "layer_model.h"
#include "text_conversion.h"

using layer::ConvertText;
using layer::Replacement;

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
  if (!ConvertText("WCHAR_T", "CP932", input, &replacement, &bytes)) {
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
  if (!ConvertText("CP932", "WCHAR_T", bytes, &replacement, &converted, &replaced)) {
    layer::SetError(ERROR_NO_UNICODE_TRANSLATION);
    return 0;
  }
  if (used_default != nullptr) *used_default = replaced ? TRUE : FALSE;
  return GiveText<char>(converted, text, text_length);
}
