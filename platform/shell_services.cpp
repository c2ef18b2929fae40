// Message boxes, the notification area, resources, GDI stock objects and
// kernel string helpers.
#include <windows.h>

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "icons.h"
#include "layer_control.h"
#include "layer_model.h"
#include "layer_view.h"

namespace layer {
namespace {

constexpr UINT kAnsiCodePage = 932;

// Program instance, icon, cursor and stock-object handles: fixed values in
// ranges of their own.
const HINSTANCE kProgramInstance = reinterpret_cast<HINSTANCE>(uintptr_t{0x00400000});
constexpr uintptr_t kIconBase = 0x00A10000;
constexpr uintptr_t kCursorBase = 0x00A20000;
constexpr uintptr_t kStockBase = 0x00A30000;

std::vector<LayerMessageBox> message_boxes;

// The button a box without a person to answer it takes: its default one.
int DefaultAnswer(UINT type) {
  static constexpr int kButtons[][3] = {
      {IDOK, IDOK, IDOK},                  // MB_OK
      {IDOK, IDCANCEL, IDCANCEL},          // MB_OKCANCEL
      {IDABORT, IDRETRY, IDIGNORE},        // MB_ABORTRETRYIGNORE
      {IDYES, IDNO, IDCANCEL},             // MB_YESNOCANCEL
      {IDYES, IDNO, IDNO},                 // MB_YESNO
      {IDRETRY, IDCANCEL, IDCANCEL},       // MB_RETRYCANCEL
      {IDCANCEL, IDTRYAGAIN, IDCONTINUE},  // MB_CANCELTRYCONTINUE
  };
  UINT kind = type & MB_TYPEMASK;
  if (kind >= std::size(kButtons)) return IDOK;
  UINT button = (type & MB_DEFMASK) >> 8;
  return kButtons[kind][std::min<UINT>(button, 2)];
}

bool message_box_open = false;

}  // namespace

void ResetShell() { message_boxes.clear(); }

}  // namespace layer

using namespace layer;

HINSTANCE LayerProgramInstance() { return kProgramInstance; }

const std::vector<LayerMessageBox>& LayerMessageBoxes() { return message_boxes; }
void LayerClearMessageBoxes() { message_boxes.clear(); }

namespace {
std::function<bool()> box_answered;
}  // namespace

void LayerHoldMessageBoxes(std::function<bool()> answered) { box_answered = std::move(answered); }

int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
  if (owner != nullptr && Find(owner) == nullptr) {
    SetError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  std::string caption_text = caption != nullptr ? caption : "Error";
  std::string body = text != nullptr ? text : "";
  message_boxes.push_back(LayerMessageBox{owner, caption_text, body, type});
  // A box waits for a person while timers and sockets go on; a failure that
  // repeats meanwhile must not pile up boxes, so it goes to the error stream.
  if (message_box_open) return HeadlessView().ShowMessageBox(owner, caption_text, body, type, DefaultAnswer(type));
  message_box_open = true;
  int answer = CurrentView().ShowMessageBox(owner, caption_text, body, type, DefaultAnswer(type));
  if (box_answered) {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    MSG msg;
    while (!box_answered() && std::chrono::steady_clock::now() < until) {
      while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
      usleep(500);
    }
  }
  message_box_open = false;
  return answer;
}

// ---------------------------------------------------------------- tray

bool LayerTrayIconPresent() { return !Model().tray.empty(); }

NOTIFYICONDATAA LayerTrayIcon() {
  auto& tray = Model().tray;
  return tray.empty() ? NOTIFYICONDATAA{} : tray.back().data;
}

bool LayerTrayIconEvent(UINT mouse_message) {
  auto& tray = Model().tray;
  if (tray.empty()) return false;
  const NOTIFYICONDATAA& icon = tray.back().data;
  if ((icon.uFlags & NIF_MESSAGE) == 0 || Find(icon.hWnd) == nullptr) return false;
  return PostMessageA(icon.hWnd, icon.uCallbackMessage, icon.uID, static_cast<LPARAM>(mouse_message)) != FALSE;
}

BOOL WINAPI Shell_NotifyIconA(DWORD operation, PNOTIFYICONDATAA data) {
  if (data == nullptr) return FALSE;
  auto& tray = Model().tray;
  auto it = std::find_if(tray.begin(), tray.end(), [&](const TrayIcon& icon) {
    return icon.data.hWnd == data->hWnd && icon.data.uID == data->uID;
  });
  // Only the fields the flags name are taken; the tip is always ended.
  auto apply = [&](NOTIFYICONDATAA& target) {
    target.cbSize = data->cbSize;
    target.hWnd = data->hWnd;
    target.uID = data->uID;
    if (data->uFlags & NIF_MESSAGE) target.uCallbackMessage = data->uCallbackMessage;
    if (data->uFlags & NIF_ICON) target.hIcon = data->hIcon;
    if (data->uFlags & NIF_TIP) {
      std::memcpy(target.szTip, data->szTip, sizeof target.szTip);
      target.szTip[sizeof target.szTip - 1] = '\0';
    }
    target.uFlags |= data->uFlags & (NIF_MESSAGE | NIF_ICON | NIF_TIP);
  };
  switch (operation) {
    case NIM_ADD: {
      if (it != tray.end() || Find(data->hWnd) == nullptr) return FALSE;
      TrayIcon icon;
      apply(icon.data);
      tray.push_back(icon);
      break;
    }
    case NIM_MODIFY:
      if (it == tray.end()) return FALSE;
      apply(it->data);
      break;
    case NIM_DELETE:
      if (it == tray.end()) return FALSE;
      tray.erase(it);
      break;
    default:
      return FALSE;
  }
  CurrentView().TrayChanged();
  return TRUE;
}

// ---------------------------------------------------------------- resources

HICON WINAPI LoadIconA(HINSTANCE instance, LPCSTR name) {
  if (name == nullptr) {
    SetError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (instance == nullptr) {
    // The system's icons, by their numbers.
    if (IS_INTRESOURCE(name)) {
      WORD number = LOWORD(reinterpret_cast<ULONG_PTR>(name));
      if (number >= 32512 && number <= 32518)
        return reinterpret_cast<HICON>(kIconBase + 0x100 + (number - 32512));
    }
    SetError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return nullptr;
  }
  if (instance != kProgramInstance || IS_INTRESOURCE(name)) {
    SetError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return nullptr;
  }
  int index = ProgramIconIndex(name);
  if (index < 0) {
    SetError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return nullptr;
  }
  return reinterpret_cast<HICON>(kIconBase + static_cast<uintptr_t>(index));
}

bool LayerIconInfo(HICON icon, LayerIconImage* image) {
  auto value = reinterpret_cast<uintptr_t>(icon);
  if (image == nullptr || value < kIconBase || value >= kIconBase + 0x100) return false;
  return ProgramIconImage(static_cast<int>(value - kIconBase), image);
}

HCURSOR WINAPI LoadCursorA(HINSTANCE instance, LPCSTR name) {
  // The program has no cursor resources; the system's are known by number.
  if (instance == nullptr && name != nullptr && IS_INTRESOURCE(name)) {
    WORD number = LOWORD(reinterpret_cast<ULONG_PTR>(name));
    if ((number >= 32512 && number <= 32516) || (number >= 32640 && number <= 32651))
      return reinterpret_cast<HCURSOR>(kCursorBase + number);
  }
  SetError(name == nullptr ? ERROR_INVALID_PARAMETER : ERROR_RESOURCE_NAME_NOT_FOUND);
  return nullptr;
}

HGDIOBJ WINAPI GetStockObject(int object) {
  if (object < WHITE_BRUSH || object > DC_PEN || object == 9) return nullptr;
  return reinterpret_cast<HGDIOBJ>(kStockBase + static_cast<uintptr_t>(object) + 1);
}

// ---------------------------------------------------------------- opening files

extern char** environ;

namespace {

// The desktop's opener, found on PATH; empty when there is none.
std::string Opener() {
  const char* path = std::getenv("PATH");
  std::string_view folders = path != nullptr ? path : "/usr/bin:/bin";
  while (!folders.empty()) {
    size_t colon = folders.find(':');
    std::string_view folder = folders.substr(0, colon);
    folders = colon == std::string_view::npos ? std::string_view() : folders.substr(colon + 1);
    if (folder.empty()) continue;
    std::string candidate = std::string(folder) + "/xdg-open";
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return {};
}

HINSTANCE ShellResult(int code) { return reinterpret_cast<HINSTANCE>(static_cast<intptr_t>(code)); }

}  // namespace

HINSTANCE WINAPI ShellExecuteA(HWND, LPCSTR operation, LPCSTR file, LPCSTR parameters, LPCSTR, INT) {
  if (file == nullptr || file[0] == '\0' || (operation != nullptr && std::strcmp(operation, "open") != 0) ||
      (parameters != nullptr && parameters[0] != '\0'))
    return ShellResult(SE_ERR_NOASSOC);
  struct stat info{};
  if (stat(file, &info) != 0) return ShellResult(SE_ERR_FNF);
  std::string opener = Opener();
  if (opener.empty()) return ShellResult(SE_ERR_NOASSOC);
  // A name the opener could take for an option is made a path.
  std::string target = file[0] == '-' ? std::string("./") + file : std::string(file);
  // The opener runs on in the background of a shell that ends at once, so
  // the program neither waits for the viewer nor leaves a child behind.
  const char* script = "\"$0\" \"$1\" </dev/null >/dev/null 2>&1 &";
  char* argv[] = {const_cast<char*>("sh"), const_cast<char*>("-c"), const_cast<char*>(script),
                  opener.data(), target.data(), nullptr};
  pid_t shell = 0;
  if (posix_spawn(&shell, "/bin/sh", nullptr, nullptr, argv, environ) != 0) return ShellResult(SE_ERR_NOASSOC);
  int status = 0;
  while (waitpid(shell, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return ShellResult(SE_ERR_NOASSOC);
  return ShellResult(42);
}

// ---------------------------------------------------------------- kernel

LPSTR WINAPI lstrcpynA(LPSTR destination, LPCSTR source, int max_length) {
  if (destination == nullptr || source == nullptr) return nullptr;
  if (max_length <= 0) return destination;
  int i = 0;
  for (; i < max_length - 1 && source[i] != '\0'; ++i) destination[i] = source[i];
  destination[i] = '\0';
  return destination;
}

int WINAPI lstrlenA(LPCSTR text) {
  return text == nullptr ? 0 : static_cast<int>(std::min<size_t>(std::strlen(text), INT32_MAX));
}

UINT WINAPI GetACP(void) { return kAnsiCodePage; }
