// The shell's known folders.
#ifndef SKERROW_PLATFORM_SHLOBJ_H
#define SKERROW_PLATFORM_SHLOBJ_H

#include <windows.h>

#define CSIDL_STARTUP 0x0007
#define CSIDL_APPDATA 0x001a
#define CSIDL_FLAG_CREATE 0x8000
#define SHGFP_TYPE_CURRENT 0

#ifdef __cplusplus
extern "C" {
#endif

// CSIDL_APPDATA: the user's folder for programs' settings,
// `$XDG_CONFIG_HOME` (an absolute path) or else `~/.config`; made when
// CSIDL_FLAG_CREATE is given. CSIDL_STARTUP: the programs started at login,
// as entries in `$XDG_CONFIG_HOME/autostart`. `path` holds MAX_PATH characters.
HRESULT WINAPI SHGetFolderPathA(HWND owner, int folder, HANDLE token, DWORD flags, LPSTR path);

#ifdef __cplusplus
}  // extern "C"
#endif

#endif  // SKERROW_PLATFORM_SHLOBJ_H
