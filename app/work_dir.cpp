// WorkDir: the program's private work folder, which the Windows layer makes
// on first use inside TEMP (or the system's own temporary place) and
// removes when the program ends.
#include <cstring>

#include "app_constants.h"
#include "app_globals.h"
#include "fetch_globals.h"

bool SetWorkDirFromTemp() {
  char folder[MAX_PATH + 1];
  DWORD length = GetTempPathA(sizeof folder, folder);
  if (length == 0 || length >= sizeof folder || length >= sizeof WorkDir) {
    // No private folder: nothing may be written anywhere else instead.
    WorkDir[0] = '\0';
    return false;
  }
  std::memcpy(WorkDir, folder, length + 1);
  return true;
}
