// The system's texts for its errors, so that a line about a failed call
// can give the reason in the words this system uses for it.
#include <windows.h>

#include <cerrno>
#include <cstring>

#include "layer_model.h"

namespace {

struct SystemText {
  DWORD error;
  int error_number;  // whose wording the text takes; 0: the text below
  const char* text;
};

constexpr SystemText kTexts[] = {
    {ERROR_FILE_NOT_FOUND, ENOENT, nullptr},
    {ERROR_PATH_NOT_FOUND, ENOTDIR, nullptr},
    {ERROR_ACCESS_DENIED, EACCES, nullptr},
    {ERROR_WRITE_PROTECT, EROFS, nullptr},
    {ERROR_WRITE_FAULT, EIO, nullptr},
    {ERROR_READ_FAULT, EIO, nullptr},
    {ERROR_DISK_FULL, ENOSPC, nullptr},
    // The one setting whose absence the layer reports: the store and the
    // settings folder both come from the home folder.
    {ERROR_ENVVAR_NOT_FOUND, 0, "HOME is not set"},
    {ERROR_CANCELLED, 0, "the program is closing"},
};

}  // namespace

DWORD WINAPI FormatMessageA(DWORD flags, LPCVOID, DWORD message_id, DWORD, LPSTR buffer, DWORD size, va_list*) {
  if ((flags & FORMAT_MESSAGE_FROM_SYSTEM) == 0 || buffer == nullptr) {
    layer::SetError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  for (const SystemText& known : kTexts) {
    if (known.error != message_id) continue;
    const char* text = known.text != nullptr ? known.text : std::strerror(known.error_number);
    size_t length = std::strlen(text);
    if (length >= size) {
      layer::SetError(ERROR_INSUFFICIENT_BUFFER);
      return 0;
    }
    std::memcpy(buffer, text, length + 1);
    return static_cast<DWORD>(length);
  }
  layer::SetError(ERROR_MR_MID_NOT_FOUND);
  return 0;
}
