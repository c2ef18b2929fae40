// A small program on the layer's process entry, for the tests of signals:
// a window with a tray icon that removes the icon when it is destroyed. It
// says "ready" once its loop is about to run and reports at the end whether
// the icon is still there.
//   entry_child [plain|after-conversion|during-conversion] [words...]
#include <windows.h>

#include <unistd.h>

#include <csetjmp>
#include <cstdio>
#include <cstring>

#include "converter_support.h"
#include "layer_control.h"

namespace {

NOTIFYICONDATAA Tray{};

LRESULT CALLBACK ChildProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_DESTROY) {
    Shell_NotifyIconA(NIM_DELETE, &Tray);
    PostQuitMessage(0);
    return 0;
  }
  return DefWindowProcA(hwnd, message, wParam, lParam);
}

void SayReady() {
  std::printf("ready\n");
  std::fflush(stdout);
}

// A converter run under way when the signal comes: the run ends at its next
// row with 1, and the signal then reaches the host's own handler.
void ConvertUntilSignalled() {
  ConverterErrorManager manager;
  jpeg_decompress_struct run{};
  run.err = InitConverterErrorManager(&manager);
  jpeg_create_decompress(&run);
  auto* common = reinterpret_cast<j_common_ptr>(&run);
  CatchTerminationSignals(common);
  SayReady();
  if (setjmp(manager.escape) == 0) {
    for (;;) {
      EndRunIfSignalled(common);
      usleep(1000);
    }
  }
  std::printf("conversion result %d\n", EndConverterRun(common, &manager, 0));
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR command_line, int show_command) {
  std::printf("command line [%s] previous %d show %d\n", command_line, previous != nullptr, show_command);
  WNDCLASSA wc{};
  wc.lpfnWndProc = ChildProc;
  wc.hInstance = instance;
  wc.lpszClassName = "EntryChild";
  if (RegisterClassA(&wc) == 0) return 3;
  HWND hwnd = CreateWindowExA(0, "EntryChild", "child", WS_CAPTION, 0, 0, 10, 10, nullptr, nullptr, instance,
                              nullptr);
  if (hwnd == nullptr) return 4;
  Tray.cbSize = sizeof Tray;
  Tray.hWnd = hwnd;
  Tray.uID = 8000;
  Tray.uFlags = NIF_ICON | NIF_TIP;
  Tray.hIcon = LoadIconA(instance, "TESTM_ICON");
  lstrcpynA(Tray.szTip, "child", sizeof Tray.szTip);
  Shell_NotifyIconA(NIM_ADD, &Tray);

  // A converter run replaces the handlers while it lasts.
  if (std::strncmp(command_line, "after-conversion", 16) == 0) {
    CatchTerminationSignals(nullptr);
    ReleaseTerminationSignals();
  }
  if (std::strncmp(command_line, "during-conversion", 17) == 0) {
    ConvertUntilSignalled();
  } else {
    SayReady();
  }
  MSG msg;
  while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
  std::printf("tray icon present %d\n", LayerTrayIconPresent() ? 1 : 0);
  return static_cast<int>(msg.wParam);
}
