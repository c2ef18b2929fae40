// Steering the rotation without the window: the tray icon's menu and the
// requests other starts of the program send. Both end in SteerCommand, and
// what the menu greys out a request is refused with, in the same words.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <string_view>

#include <windows.h>
#include <shlobj.h>

#include "app_constants.h"
#include "app_globals.h"
#include "fetch_globals.h"
#include "wallpaper.h"

int Paused = 0;
int EachMonitor = 0;

namespace {

// Why a command cannot act now; null when it can.
const char* Unavailable(int id) {
  switch (id) {
    case OpenPictureCommandId:
    case CurrentPictureCommandId:
      return ShownUrl[0] == '\0' ? "no picture has been shown yet" : nullptr;
    default:
      return nullptr;
  }
}

// The entry's path in the autostart folder; empty when there is none.
std::string StartAtLoginPath(bool create) {
  char folder[MAX_PATH];
  if (SHGetFolderPathA(nullptr, CSIDL_STARTUP | (create ? CSIDL_FLAG_CREATE : 0), nullptr, SHGFP_TYPE_CURRENT,
                       folder) != S_OK)
    return std::string();
  return std::string(folder) + kPathSeparator + kStartAtLoginFile;
}

bool StartsAtLogin() {
  std::string path = StartAtLoginPath(false);
  return !path.empty() && std::ifstream(path).good();
}

// A desktop entry's Exec value: the path quoted, with what the quoting and
// the entry's own escapes would take as special escaped.
std::string ExecValue(std::string_view program) {
  std::string quoted = "\"";
  for (char c : program) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += "\\\\";
    if (c == '%') quoted += '%';
    quoted += c;
  }
  return quoted + "\"";
}

void ReportStartAtLogin(const char* change, const char* why) {
  std::fprintf(stderr, kStartAtLoginFailedFormat, change, why);
  std::fflush(stderr);
}

// Written beside its final name and moved there in one step, so a crash
// leaves no half entry for the desktop to read at the next login.
void WriteStartAtLogin() {
  std::string path = StartAtLoginPath(true);
  char program[MAX_PATH];
  DWORD length = GetModuleFileNameA(nullptr, program, sizeof program);
  if (path.empty() || length == 0 || length >= sizeof program) {
    ReportStartAtLogin("set", "no autostart folder or no program path");
    return;
  }
  std::string text = "[Desktop Entry]\nType=Application\nName=Skerrow\nComment=Wallpaper rotator\nExec=" +
                     ExecValue(program) + "\nTerminal=false\nX-GNOME-Autostart-enabled=true\n";
  std::string partial = path + ".new";
  {
    std::ofstream out(partial, std::ios::binary | std::ios::trunc);
    out << text;
    out.flush();
    if (!out) {
      std::remove(partial.c_str());
      ReportStartAtLogin("set", "the entry could not be written");
      return;
    }
  }
  if (!MoveFileExA(partial.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    DeleteFileA(partial.c_str());
    ReportStartAtLogin("set", "the entry could not be moved into place");
  }
}

void ToggleStartAtLogin() {
  if (!StartsAtLogin()) {
    WriteStartAtLogin();
    return;
  }
  std::string path = StartAtLoginPath(false);
  if (!DeleteFileA(path.c_str())) ReportStartAtLogin("removed", path.c_str());
}

void ShowPausedTip() {
  char tip[sizeof TrayIcon.szTip];
  if (Paused)
    std::snprintf(tip, sizeof tip, kPausedTipFormat, kMainCaption);
  else
    lstrcpynA(tip, kMainCaption, sizeof tip);
  // The version-1 record holds 64 characters of tip.
  lstrcpynA(TrayIcon.szTip, tip, 64);
  Shell_NotifyIconA(NIM_MODIFY, &TrayIcon);
}

void SetPaused(HWND window, int paused) {
  if (Paused == paused) return;
  Paused = paused;
  if (Paused)
    KillTimer(window, RotationTimer);
  else
    RestartRotation(window);
  ShowPausedTip();
}

void OpenShownPicture(HWND window) {
  std::string_view shown = ShownUrl;
  std::string path;
  if (shown.starts_with(kFilePrefix)) {
    path = shown.substr(kSchemeLength);
  } else {
    path = ShownWallpaperCopy();
  }
  HINSTANCE started = ShellExecuteA(window, "open", path.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
  if (reinterpret_cast<INT_PTR>(started) <= 32) {
    char text[kScratchCapacity];
    std::snprintf(text, sizeof text, kOpenFailedFormat, path.c_str());
    MessageBoxA(window, text, kErrorCaption, MB_OK);
  }
}

// The picture shown and its stored copy, one per line.
void AnswerCurrent(HWND window, HWND caller) {
  std::string text = std::string(ShownUrl) + '\n' + ShownWallpaperCopy();
  COPYDATASTRUCT answer{kRequestDataTag, static_cast<DWORD>(text.size()), text.data()};
  SendMessageA(caller, WM_COPYDATA, reinterpret_cast<WPARAM>(window), reinterpret_cast<LPARAM>(&answer));
}

void AnswerText(HWND window, HWND caller, std::string_view text) {
  COPYDATASTRUCT answer{kRequestDataTag, static_cast<DWORD>(text.size()), const_cast<char*>(text.data())};
  SendMessageA(caller, WM_COPYDATA, reinterpret_cast<WPARAM>(window), reinterpret_cast<LPARAM>(&answer));
}

struct Request {
  std::string_view word;
  int command;
};
constexpr Request kRequests[] = {
    {"next", NextPictureCommandId},     {"previous", PreviousPictureCommandId},
    {"pause", PauseOnlyCommandId},      {"resume", ResumeCommandId},
    {"toggle-pause", PauseCommandId},   {"show", ShowWindowCommandId},
    {"quit", QuitCommandId},            {"current", CurrentPictureCommandId},
};

}  // namespace

void RestartRotation(HWND window) {
  if (Paused || IsWindowVisible(window)) return;
  SetTimer(window, RotationTimer, static_cast<UINT>(IntervalMs), nullptr);
}

void ShowFromTray(HWND window) {
  ShowWindow(window, SW_RESTORE);
  KillTimer(window, RotationTimer);
}

void ShowTrayMenu(HWND window) {
  HMENU menu = CreatePopupMenu();
  if (menu == nullptr) return;
  auto add = [&](int id, const char* text, bool checked) {
    UINT flags = MF_STRING | (checked ? MF_CHECKED : MF_UNCHECKED) | (Unavailable(id) != nullptr ? MF_GRAYED : 0);
    AppendMenuA(menu, flags, static_cast<UINT_PTR>(id), text);
  };
  add(NextPictureCommandId, kNextPictureText, false);
  add(PreviousPictureCommandId, kPreviousPictureText, false);
  add(PauseCommandId, kPauseText, Paused != 0);
  add(OpenPictureCommandId, kOpenPictureText, false);
  AppendMenuA(menu, MF_SEPARATOR, 0, nullptr);
  add(ShuffleCommandId, kShuffleText, ShuffleOrder != 0);
  add(EachMonitorCommandId, kEachMonitorText, EachMonitor != 0);
  if (HMENU fits = CreatePopupMenu()) {
    for (int mode = 0; mode < kFitModeCount; ++mode)
      AppendMenuA(fits, MF_STRING, static_cast<UINT_PTR>(FirstFitCommandId + mode), kFitMenuTexts[mode]);
    // No mark while each desktop keeps its own user's mode.
    if (FitMode != kNoFit)
      CheckMenuRadioItem(fits, FirstFitCommandId, FirstFitCommandId + kFitModeCount - 1, FirstFitCommandId + FitMode,
                         MF_BYCOMMAND);
    AppendMenuA(menu, MF_POPUP, reinterpret_cast<UINT_PTR>(fits), kFitMenuTitle);
  }
  add(StartAtLoginCommandId, kStartAtLoginText, StartsAtLogin());
  AppendMenuA(menu, MF_SEPARATOR, 0, nullptr);
  add(ShowWindowCommandId, kShowWindowText, false);
  add(QuitCommandId, kQuitText, false);
  // Without the window in front the menu would stay open after a click
  // elsewhere; the empty message lets it close at once.
  SetForegroundWindow(window);
  POINT at{};
  GetCursorPos(&at);
  TrackPopupMenu(menu, TPM_RIGHTBUTTON, at.x, at.y, 0, window, nullptr);
  PostMessageA(window, WM_NULL, 0, 0);
  DestroyMenu(menu);
}

void SteerCommand(HWND window, int id) {
  if (Unavailable(id) != nullptr) return;
  // A person asking for another picture is not kept waiting on a slow
  // server: the download under way ends as an abort ends it.
  if ((id == NextPictureCommandId || id == PreviousPictureCommandId) && TransferUnderWay())
    SendMessageA(window, WM_COMMAND, AbortCommandId, 0);
  switch (id) {
    case NextPictureCommandId:
      // The rotation's own step; the transfer restarts the interval from
      // the change.
      SendMessageA(window, WM_COMMAND, RotateCommandId, 0);
      break;
    case PreviousPictureCommandId:
      if (EachMonitor && !MonitorRoundActive()) {
        StepBackMonitors(window);
        if (MonitorRoundActive()) break;
      }
      if (!MonitorRoundActive() && TakePreviousAddress(window)) FetchCurrentUrl(window, RotateCommandId);
      break;
    case PauseCommandId: SetPaused(window, Paused ? 0 : 1); break;
    case PauseOnlyCommandId: SetPaused(window, 1); break;
    case ResumeCommandId: SetPaused(window, 0); break;
    case OpenPictureCommandId: OpenShownPicture(window); break;
    case ShuffleCommandId:
      ToggleShuffle();
      SaveConfiguration(window);
      break;
    case EachMonitorCommandId:
      EachMonitor = EachMonitor ? 0 : 1;
      SaveConfiguration(window);
      break;
    case StartAtLoginCommandId: ToggleStartAtLogin(); break;
    case ShowWindowCommandId: ShowFromTray(window); break;
    case QuitCommandId: SendMessageA(window, WM_CLOSE, 0, 0); break;
    default:
      if (id >= FirstFitCommandId && id < FirstFitCommandId + kFitModeCount) ChooseFit(window, id - FirstFitCommandId);
      break;
  }
}

LRESULT AnswerRequest(HWND window, HWND caller, const COPYDATASTRUCT* request) {
  if (request == nullptr || request->dwData != kRequestDataTag || request->lpData == nullptr) return FALSE;
  std::string_view word(static_cast<const char*>(request->lpData), request->cbData);
  for (const Request& known : kRequests) {
    if (word != known.word) continue;
    if (const char* why = Unavailable(known.command)) {
      AnswerText(window, caller, why);
      return FALSE;
    }
    // Answered before a quit takes the window away.
    if (known.command == CurrentPictureCommandId) {
      AnswerCurrent(window, caller);
      return TRUE;
    }
    SteerCommand(window, known.command);
    return TRUE;
  }
  AnswerText(window, caller, "unknown request");
  return FALSE;
}
