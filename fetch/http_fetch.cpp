// The HTTP side of the fetcher. Downloads are not built yet: an http://
// address is answered with a message box and changes nothing else, and the
// request command and socket events have no transfer to act on.
#include "app_constants.h"
#include "fetch_globals.h"

void FetchHttpUrl(HWND window, int) {
  MessageBoxA(window, kHttpUnavailableText, kErrorCaption, MB_OK);
}

void SendRequestCommand(HWND) {}

void ReceiveSocketEvent(HWND, WPARAM, LPARAM) {}
