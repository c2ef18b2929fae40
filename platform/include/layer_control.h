// Controls of the Windows layer that Windows itself does not have: for the
// program entry, tests and benchmarks. Application code never includes this.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

// Forgets every window (no messages are sent), class, timer, queued message,
// the quit state, a pending close request, tray icons, the message-box log
// and the sockets start-up count; timers read the real clock again.
void LayerReset();

// The clock timers read. With the fake clock nothing ever sleeps: GetMessageA
// returns -1 (last error ERROR_TIMEOUT) when it would have to wait.
void LayerUseFakeClock(uint64_t start_ms);
void LayerAdvanceClock(uint64_t ms);
void LayerUseRealClock();
uint64_t LayerNow();  // milliseconds on the clock in use

// Message boxes shown so far, text and caption as given (ANSI code page).
struct LayerMessageBox {
  HWND owner;
  std::string caption;
  std::string text;
  UINT type;
};
const std::vector<LayerMessageBox>& LayerMessageBoxes();
void LayerClearMessageBoxes();
// While set, a message box waits as a modal one does: it runs the message
// loop (PeekMessageA, DispatchMessageA), calling `answered` between rounds,
// until that returns true or 20 seconds have passed, then answers with its
// default button. Unset (the default), a box returns at once.
void LayerHoldMessageBoxes(std::function<bool()> answered);

// The notification-area icon last added and not yet deleted.
bool LayerTrayIconPresent();
NOTIFYICONDATAA LayerTrayIcon();
// What the notification area does when the user acts on that icon: posts its
// callback message with the icon id and `mouse_message` (WM_LBUTTONDOWN...)
// to its window. False when no icon is present or it has no callback.
bool LayerTrayIconEvent(UINT mouse_message);

// The copy of the wallpaper SPI_SETDESKWALLPAPER stored last:
// $XDG_STATE_HOME/skerrow/wallpaper-<n>.bmp (else ~/.local/state/skerrow/),
// a new number on each change. Empty when there is none.
std::string LayerWallpaperStorePath();

// Whether `path` names a file directly inside this process's own work
// folder (GetTempPathA's): one of the program's own intermediate files, not
// a user's.
bool InWorkFolder(const char* path);

// Picks the desktop setter the wallpaper call hands its copy to, from
// SKERROW_DESKTOP or the session's environment, says which on standard error
// ("desktop: <name>") and returns that name.
const char* LayerChooseDesktop();

// The last SW_ code ShowWindow applied to the window, -1 if none.
int LayerShowCommand(HWND hwnd);

// What SIGINT and SIGTERM do: at the next GetMessageA or PeekMessageA every
// top-level window is sent WM_CLOSE (when there is none, the quit message is
// posted instead).
void LayerRequestClose();

// CP932 (the layer's ANSI code page) to UTF-8, for everything shown to a
// person. A byte that is no CP932 character becomes U+FFFD.
std::string LayerCp932ToUtf8(std::string_view text);
// UTF-8 to CP932, for what a person typed; false when CP932 cannot hold
// some character (nothing is replaced).
bool LayerUtf8ToCp932(std::string_view text, std::string* cp932);

// The instance handle of the program (its only module).
HINSTANCE LayerProgramInstance();

// The picture behind an icon handle: 4-bit palette indexes, one byte each,
// row by row from the top, and the 16 colours as 0xRRGGBB.
struct LayerIconImage {
  int width = 0;
  int height = 0;
  int bits_per_pixel = 0;
  const uint8_t* pixels = nullptr;
  const uint32_t* palette = nullptr;
};
bool LayerIconInfo(HICON icon, LayerIconImage* image);

// Tests that load the program's modules from outside the program's folder
// name the folder here; the program itself finds them from its own place.
void LayerSetModuleFolder(const char* folder);

// Makes the next WSAStartup calls fail with `error` (0: succeed again).
void LayerSetWsaStartupError(int error);
// How many WSAStartup calls are not yet matched by WSACleanup.
int LayerWsaStartupCount();

// One line of a popup menu as TrackPopupMenu shows it: submenus flattened,
// each line one deeper than the item that opens it.
struct LayerMenuLine {
  UINT id = 0;     // the command id; 0 for a separator or a submenu's title
  UINT flags = 0;  // MF_ and MFT_ flags as appended and checked since
  int depth = 0;
  std::string text;  // ANSI code page
};
// While set, TrackPopupMenu hands its lines to `choose` instead of a view
// and takes the id it returns (0: dismissed) as the person's choice.
void LayerAnswerMenus(std::function<UINT(const std::vector<LayerMenuLine>&)> choose);
