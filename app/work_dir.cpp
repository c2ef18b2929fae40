// WorkDir from the TEMP environment variable.
#include <cstdlib>
#include <cstring>

#include "app_constants.h"
#include "app_globals.h"
#include "fetch_globals.h"

void SetWorkDirFromTemp() {
  const char* temp = std::getenv("TEMP");
  if (temp == nullptr) return;
  std::size_t length = std::strlen(temp);
  std::size_t separator = (length == 0 || temp[length - 1] != kPathSeparator) ? 1 : 0;
  // A folder that cannot be held whole would send every file somewhere else.
  if (length + separator >= sizeof WorkDir) return;
  std::memcpy(WorkDir, temp, length);
  if (separator) WorkDir[length++] = kPathSeparator;
  WorkDir[length] = '\0';
}
