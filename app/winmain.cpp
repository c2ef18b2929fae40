// Program entry: register, create, then run the message loop until quit.
#include <windows.h>

#include "app_globals.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous_instance, LPSTR, int show_command) {
  if (previous_instance == nullptr && RegisterMainClass(instance) == 0) return 0;
  if (InitMainWindow(instance, show_command) == 0) return 0;

  MSG message{};
  while (GetMessageA(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  return static_cast<int>(message.wParam);
}
