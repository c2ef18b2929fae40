// State of the image fetcher, shared with the pipeline and the shell.
// Text buffers hold NUL-terminated code page 932 text; sizes count the NUL.
#pragma once

#include <cstdio>

#include <windows.h>

inline constexpr int kUrlCapacity = 512;
inline constexpr int kPathPartCapacity = 128;
inline constexpr int kScratchCapacity = 1024;

extern char CurrentUrl[kUrlCapacity];        // address being fetched; a file address is cut after its directory
extern char WorkDir[kPathPartCapacity];      // folder of the current source, else TEMP; ends with a separator
extern char LocalName[kPathPartCapacity];    // file name inside WorkDir; the pipeline renames it per stage
extern char ScratchBuffer[kScratchCapacity]; // work area of one message; keeps nothing between messages
extern int ProxyMode;                        // 1: fetch through the proxy fields; ProxyCheck toggles it
extern SOCKET TransferSocket;                // socket of the running transfer, INVALID_SOCKET when idle; the transfer's owner sets it
extern char ShownUrl[kUrlCapacity];          // address of the picture the desktop shows now, empty before the first
extern char RequestedUrl[kUrlCapacity];      // address of the picture the chain takes, as the list gave it; the chain's lines and ShownUrl name it
extern std::FILE* DownloadFile;              // file the running transfer writes, null when idle; the transfer's owner sets it

// Window commands of the fetcher.
void FetchCommand(HWND window);
void AbortCommand(HWND window);
void ProxyToggleCommand(HWND window);

// Dispatches CurrentUrl by its scheme; `command` is the id that led here.
void FetchCurrentUrl(HWND window, int command);
// Makes the fetched picture the wallpaper (ApplyWallpaper) and, when the
// desktop took it, the address asked for becomes ShownUrl.
void ShowFetchedPicture(int deleteSource);

// While every monitor gets a picture of its own, a fetch that ended (with a
// picture or without) hands the step back to the shell for the next one.
void EndPictureTurn(HWND window);
// Whether a download is under way, from the look-up to its end.
bool TransferUnderWay();

// The HTTP side: connection set-up, request and socket events.
void FetchHttpUrl(HWND window, int command);
void SendRequestCommand(HWND window);
void ReceiveSocketEvent(HWND window, WPARAM socket, LPARAM event);
// The answer of the host name look-up the set-up started.
void HostFound(HWND window, WPARAM task, LPARAM reply);
// The box of a failed transfer, shown once the transfer has ended.
void ShowFetchFailure(HWND window);
