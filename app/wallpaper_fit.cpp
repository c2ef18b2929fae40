// How the picture fills its screen. The desktop reads the mode from the
// user's registry when a wallpaper is set, as Windows does, so a new mode
// reaches the picture shown now only by setting that picture again.
#include <windows.h>

#include <cstring>

#include "app_constants.h"
#include "app_globals.h"
#include "wallpaper.h"

int FitMode = kNoFit;

void TellDesktopFit(int mode) {
  if (mode < 0 || mode >= kFitModeCount) return;
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, kDesktopKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr,
                      &key, nullptr) != ERROR_SUCCESS)
    return;
  const FitValues& values = kFitValues[mode];
  RegSetValueExA(key, kWallpaperStyleValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(values.style),
                 static_cast<DWORD>(std::strlen(values.style) + 1));
  RegSetValueExA(key, kTileWallpaperValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(values.tile),
                 static_cast<DWORD>(std::strlen(values.tile) + 1));
  RegCloseKey(key);
}

void ChooseFit(HWND window, int mode) {
  if (mode < 0 || mode >= kFitModeCount) return;
  FitMode = mode;
  TellDesktopFit(mode);
  SaveConfiguration(window);
  // The mode is whole in every record before the wallpaper call runs
  // anything of the desktop's.
  ShowWallpaperAgain();
}
