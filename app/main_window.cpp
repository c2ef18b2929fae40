// The main window: its class, its creation with the seven controls and the
// tray icon, and the window procedure that hands each message on.
#include <cstdio>

#include <windows.h>

#include "app_constants.h"
#include "app_globals.h"
#include "fetch_globals.h"

HWND MainWindow = nullptr;
NOTIFYICONDATAA TrayIcon;

namespace {

struct ControlLayout {
  int id;
  const char* class_name;
  const char* text;
  DWORD style;
  int x, y, width, height;
};

// Creation order matters: the list entry and the scroll range are set
// right after their controls exist.
constexpr ControlLayout kControls[] = {
    {ProxyHostField, "EDIT", nullptr, WS_CHILD | WS_VISIBLE | WS_BORDER | ES_AUTOHSCROLL, 5, 35, 360, 25},
    {ProxyPortField, "EDIT", nullptr, WS_CHILD | WS_VISIBLE | WS_BORDER | ES_AUTOHSCROLL, 370, 35, 50, 25},
    {UrlBox, "COMBOBOX", nullptr, WS_CHILD | WS_VISIBLE | WS_BORDER | CBS_DROPDOWN | CBS_AUTOHSCROLL, 5, 5, 420, 250},
    {GoButton, "BUTTON", kGoButtonText, WS_CHILD | WS_VISIBLE | WS_BORDER | BS_PUSHBUTTON, 430, 5, 60, 25},
    {ProxyCheck, "BUTTON", kProxyCheckText, WS_CHILD | WS_VISIBLE | WS_BORDER | BS_CHECKBOX, 430, 35, 60, 25},
    {IntervalBar, "SCROLLBAR", nullptr, WS_CHILD | WS_VISIBLE | SBS_HORZ, 5, 67, 360, 21},
    {IntervalLabel, "STATIC", nullptr, WS_CHILD | WS_VISIBLE | WS_BORDER | SS_RIGHT, 370, 65, 120, 25},
};

void CreateControls(HWND window, HINSTANCE instance) {
  for (const ControlLayout& c : kControls) {
    HWND control = CreateWindowExA(0, c.class_name, c.text, c.style, c.x, c.y, c.width, c.height, window,
                                   reinterpret_cast<HMENU>(static_cast<INT_PTR>(c.id)), instance, nullptr);
    if (c.id == UrlBox) {
      SendMessageA(control, CB_INSERTSTRING, 0, reinterpret_cast<LPARAM>(kNewEntryText));
    } else if (c.id == IntervalBar) {
      SetScrollRange(control, SB_CTL, kIntervalBarFirst, kIntervalBarLast, FALSE);
    }
  }
}

void AddTrayIcon(HWND window, HINSTANCE instance) {
  TrayIcon.cbSize = NOTIFYICONDATAA_V1_SIZE;
  TrayIcon.hWnd = window;
  TrayIcon.uID = TrayIconId;
  TrayIcon.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
  TrayIcon.uCallbackMessage = TrayMessage;
  TrayIcon.hIcon = LoadIconA(instance, kTrayIconName);
  lstrcpynA(TrayIcon.szTip, kMainCaption, sizeof TrayIcon.szTip);
  Shell_NotifyIconA(NIM_ADD, &TrayIcon);
}

void StartRotationTimer(HWND window) {
  SetTimer(window, RotationTimer, static_cast<UINT>(IntervalMs), nullptr);
}

// Windows Sockets is started with the window; a failure is reported once
// and the program runs on, the network steps failing with their own boxes.
void StartWinsock(HWND window) {
  MainWindow = window;
  WSADATA data;
  int error = WSAStartup(kWinsockVersion, &data);
  if (error != 0) {
    char text[64];
    std::snprintf(text, sizeof text, kWinsockErrorFormat, error);
    MessageBoxA(window, text, kErrorCaption, MB_OK);
  }
}

void EndProgram() {
  Shell_NotifyIconA(NIM_DELETE, &TrayIcon);
  WSACleanup();
  PostQuitMessage(0);
}

// Minimizing hides the window to the tray and (re)starts the rotation with
// the interval in force now, unless it is paused.
void HideToTray(HWND window) {
  SaveConfiguration(window);
  ShowWindow(window, SW_HIDE);
  RestartRotation(window);
}

// Minimize and restore are the program's own; closing and the rest take
// the platform's default path.
LRESULT RunSystemCommand(HWND window, WPARAM command, LPARAM lparam) {
  switch (LOWORD(command)) {
    case SC_MINIMIZE:
      HideToTray(window);
      return 0;
    case SC_RESTORE:
      ShowWindow(window, SW_RESTORE);
      return 0;
    default:
      return DefWindowProcA(window, WM_SYSCOMMAND, command, lparam);
  }
}

// A click brings the window back; the context click opens the menu.
void TrayIconEvent(HWND window, WPARAM icon, LPARAM mouse_message) {
  if (icon != TrayIconId) return;
  if (mouse_message == WM_LBUTTONDOWN) ShowFromTray(window);
  if (mouse_message == WM_RBUTTONUP) ShowTrayMenu(window);
}

void RunCommand(HWND window, int id, int code) {
  switch (id) {
    case FetchCommandId: FetchCommand(window); break;
    case SendRequestCommandId: SendRequestCommand(window); break;
    case AbortCommandId: AbortCommand(window); break;
    case ProxyToggleCommandId: ProxyToggleCommand(window); break;
    case RotateCommandId: RotateCommand(window); break;
    case RedirectCommandId: FetchCurrentUrl(window, RedirectCommandId); break;
    case MonitorTurnCommandId: ContinueMonitorRound(window); break;
    case UrlBox: UrlBoxNotification(window, code); break;
    default:
      if ((id >= NextPictureCommandId && id <= EachMonitorCommandId) ||
          (id >= FirstFitCommandId && id < FirstFitCommandId + kFitModeCount))
        SteerCommand(window, id);
      break;
  }
}

}  // namespace

ATOM RegisterMainClass(HINSTANCE instance) {
  WNDCLASSA window_class{};
  window_class.style = 0;
  window_class.lpfnWndProc = MainWindowProc;
  window_class.cbClsExtra = 0;
  window_class.cbWndExtra = 0;
  window_class.hInstance = instance;
  window_class.hIcon = LoadIconA(instance, kClassIconName);
  window_class.hCursor = LoadCursorA(nullptr, IDC_ARROW);
  window_class.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
  window_class.lpszMenuName = nullptr;
  window_class.lpszClassName = kMainClassName;
  return RegisterClassA(&window_class);
}

int InitMainWindow(HINSTANCE instance, int show_command) {
  HWND window = CreateWindowExA(0, kMainClassName, kMainCaption, WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, 0, 0,
                                500, 120, nullptr, nullptr, instance, nullptr);
  if (window == nullptr) return 0;
  MainWindow = window;

  SetWorkDirFromTemp();
  AddTrayIcon(window, instance);
  CreateControls(window, instance);

  if (ReadConfiguration(window) > 0) show_command = SW_HIDE;
  ShowInterval(window);
  SendMessageA(GetDlgItem(window, ProxyCheck), BM_SETCHECK, static_cast<WPARAM>(ProxyMode), 0);

  ShowWindow(window, show_command);
  UpdateWindow(window);

  if (show_command == SW_HIDE) {
    PostMessageA(window, WM_COMMAND, RotateCommandId, 0);
    StartRotationTimer(window);
  }
  return 1;
}

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_CREATE:
      StartWinsock(window);
      return 0;
    case WM_DESTROY:
      SaveConfiguration(window);
      EndProgram();
      return 0;
    case WM_COMMAND:
      RunCommand(window, LOWORD(wparam), HIWORD(wparam));
      return 0;
    case WM_SYSCOMMAND:
      return RunSystemCommand(window, wparam, lparam);
    case WM_TIMER:
      RotationTick(window);
      return 0;
    case WM_HSCROLL:
      ChangeInterval(window, LOWORD(wparam), HIWORD(wparam));
      return 0;
    case SocketEventMessage:
      ReceiveSocketEvent(window, wparam, lparam);
      return 0;
    case HostFoundMessage:
      HostFound(window, wparam, lparam);
      return 0;
    case FetchBoxMessage:
      ShowFetchFailure(window);
      return 0;
    case TrayMessage:
      TrayIconEvent(window, wparam, lparam);
      return 0;
    case WM_COPYDATA:
      return AnswerRequest(window, reinterpret_cast<HWND>(wparam), reinterpret_cast<const COPYDATASTRUCT*>(lparam));
    default:
      return DefWindowProcA(window, message, wparam, lparam);
  }
}
