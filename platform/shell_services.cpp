// The layer's state as a whole, message boxes, the notification area,
// resources, GDI stock objects, kernel string helpers and text conversion.
#include <windows.h>

#include <iconv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "event_sources.h"
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

bool IsUtf8(std::string_view text) {
  size_t i = 0;
  while (i < text.size()) {
    auto lead = static_cast<unsigned char>(text[i]);
    size_t extra;
    if (lead < 0x80)
      extra = 0;
    else if (lead >= 0xC2 && lead <= 0xDF)
      extra = 1;
    else if (lead >= 0xE0 && lead <= 0xEF)
      extra = 2;
    else if (lead >= 0xF0 && lead <= 0xF4)
      extra = 3;
    else
      return false;
    if (extra > text.size() - i - 1) return false;
    for (size_t k = 1; k <= extra; ++k)
      if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
    i += extra + 1;
  }
  return true;
}

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

class HeadlessView final : public View {
 public:
  int ShowMessageBox(HWND, std::string_view caption, std::string_view text, UINT,
                     int default_answer) override {
    std::string line = LayerCp932ToUtf8(caption) + ": " + LayerCp932ToUtf8(text) + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
    return default_answer;
  }
  void WallpaperChanged(std::string_view given_path, const std::string&) override { SayWallpaper(given_path); }
};

HeadlessView headless_view;
View* attached_view = nullptr;
bool message_box_open = false;

int wsa_startups = 0;
int wsa_startup_error = 0;
thread_local int wsa_last_error = 0;

}  // namespace

State& Model() {
  static State* state = new State;  // lives as long as the process
  static bool classes_registered = false;
  if (!classes_registered) {
    classes_registered = true;
    RegisterSystemClasses();
  }
  return *state;
}

View& CurrentView() { return attached_view != nullptr ? *attached_view : headless_view; }
void AttachView(View* view) { attached_view = view; }

std::string PathForDisplay(std::string_view path) {
  return IsUtf8(path) ? std::string(path) : LayerCp932ToUtf8(path);
}

void SayWallpaper(std::string_view given_path) {
  std::string line = "wallpaper: " + PathForDisplay(given_path) + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

void ResetShell() {
  message_boxes.clear();
  wsa_startups = 0;
  wsa_startup_error = 0;
  wsa_last_error = 0;
}

}  // namespace layer

using namespace layer;

void LayerReset() {
  State& state = Model();
  for (const auto& [id, window] : state.windows) CurrentView().WindowDestroyed(HandleOf(id));
  state = State{};
  RegisterSystemClasses();
  ResetQueueAndTimers();
  ResetWaitSources();
  ResetShell();
  SetLastError(ERROR_SUCCESS);
  CurrentView().TrayChanged();
}

HINSTANCE LayerProgramInstance() { return kProgramInstance; }

namespace {

// Converts with iconv. A byte sequence that has no counterpart becomes
// U+FFFD when `mark_invalid`; otherwise the conversion fails.
bool Convert(const char* to, const char* from, std::string_view text, bool mark_invalid, std::string* out) {
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
      if (!mark_invalid) {
        whole = false;
        break;
      }
      *out += "\xEF\xBF\xBD";  // an invalid or cut-off byte: replace and go on
      ++in;
      --in_left;
      iconv(converter, nullptr, nullptr, nullptr, nullptr);
    }
  }
  iconv_close(converter);
  return whole;
}

}  // namespace

std::string LayerCp932ToUtf8(std::string_view text) {
  std::string out;
  if (!Convert("UTF-8", "CP932", text, true, &out)) {
    // No converter: keep ASCII, mark everything else.
    out.clear();
    for (char c : text) out += static_cast<unsigned char>(c) < 0x80 ? std::string(1, c) : "\xEF\xBF\xBD";
  }
  return out;
}

bool LayerUtf8ToCp932(std::string_view text, std::string* cp932) {
  cp932->clear();
  return Convert("CP932", "UTF-8", text, false, cp932);
}

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
  if (message_box_open) return headless_view.ShowMessageBox(owner, caption_text, body, type, DefaultAnswer(type));
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

// ---------------------------------------------------------------- sockets

int WINAPI WSAStartup(WORD version_requested, LPWSADATA data) {
  if (wsa_startup_error != 0) return wsa_startup_error;
  if (data == nullptr) return WSAEFAULT;
  BYTE major = LOBYTE(version_requested);
  BYTE minor = HIBYTE(version_requested);
  if (major == 0) return WSAVERNOTSUPPORTED;
  WORD version = (major > 2 || (major == 2 && minor > 2)) ? MAKEWORD(2, 2) : version_requested;
  std::memset(data, 0, sizeof *data);
  data->wVersion = version;
  data->wHighVersion = MAKEWORD(2, 2);
  std::snprintf(data->szDescription, sizeof data->szDescription, "Skerrow sockets layer");
  std::snprintf(data->szSystemStatus, sizeof data->szSystemStatus, "Running");
  data->iMaxSockets = major < 2 ? 32767 : 0;
  data->iMaxUdpDg = major < 2 ? 65467 : 0;
  ++wsa_startups;
  return 0;
}

int WINAPI WSACleanup(void) {
  if (wsa_startups == 0) {
    wsa_last_error = WSANOTINITIALISED;
    return SOCKET_ERROR;
  }
  --wsa_startups;
  return 0;
}

// Closes only what is a socket: a stale number must never close a file.
int WINAPI closesocket(SOCKET s) {
  struct stat info{};
  int fd = s > static_cast<SOCKET>(INT32_MAX) ? -1 : static_cast<int>(s);
  if (fd < 0 || fstat(fd, &info) != 0 || !S_ISSOCK(info.st_mode)) {
    wsa_last_error = WSAENOTSOCK;
    return SOCKET_ERROR;
  }
  ForgetSocketSelection(fd);
  if (close(fd) != 0) {
    wsa_last_error = WSAENOTSOCK;
    return SOCKET_ERROR;
  }
  return 0;
}

int WINAPI WSAGetLastError(void) { return wsa_last_error; }
void WINAPI WSASetLastError(int error) { wsa_last_error = error; }

void LayerSetWsaStartupError(int error) { wsa_startup_error = error; }
int LayerWsaStartupCount() { return wsa_startups; }
