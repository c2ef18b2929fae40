// Turning CurrentUrl into work: the fetcher's window commands, the choice
// by scheme, and local pictures handed straight to the pipeline.
#include <cstring>

#include "app_constants.h"
#include "app_globals.h"
#include "fetch_globals.h"
#include "http_transfer.h"
#include "wallpaper.h"

char CurrentUrl[kUrlCapacity];
char WorkDir[kPathPartCapacity];
char LocalName[kPathPartCapacity] = "index.html";
char ScratchBuffer[kScratchCapacity];
int ProxyMode = 0;
char ShownUrl[kUrlCapacity];
char RequestedUrl[kUrlCapacity];

namespace {

// file:///dir/name.gif: the folder becomes WorkDir and the name LocalName
// while the pipeline runs; the picture itself is never deleted.
void FetchLocalFile(HWND window) {
  char* path = CurrentUrl + kSchemeLength;
  char* separator = std::strrchr(path, kPathSeparator);
  if (separator == nullptr) return;
  std::size_t folder_length = static_cast<std::size_t>(separator + 1 - path);
  const char* name = separator + 1;
  if (folder_length >= sizeof WorkDir || std::strlen(name) >= sizeof LocalName) {
    // Cut short, the path would name some other file; refused before the
    // timer is touched so the rotation goes on.
    MessageBoxA(window, kPathTooLongText, kErrorCaption, MB_OK);
    return;
  }
  // The conversions write into the work folder; without one they would
  // write beside the picture.
  if (!SetWorkDirFromTemp()) {
    MessageBoxA(window, kNoWorkFolderText, kErrorCaption, MB_OK);
    return;
  }

  KillTimer(window, RotationTimer);
  std::strcpy(LocalName, name);
  separator[1] = '\0';
  std::memcpy(WorkDir, path, folder_length + 1);
  ShowFetchedPicture(0);
  SetWorkDirFromTemp();
  SetTimer(window, RotationTimer, static_cast<UINT>(IntervalMs), nullptr);
}

}  // namespace

void FetchCommand(HWND window) {
  SendMessageA(GetDlgItem(window, UrlBox), WM_GETTEXT, sizeof CurrentUrl, reinterpret_cast<LPARAM>(CurrentUrl));
  FetchCurrentUrl(window, FetchCommandId);
}

void FetchCurrentUrl(HWND window, int command) {
  if (std::strncmp(CurrentUrl, kFilePrefix, kSchemeLength) == 0) {
    // Before the local path's cut changes CurrentUrl; a download takes its
    // own address once it is started.
    std::memcpy(RequestedUrl, CurrentUrl, sizeof RequestedUrl);
    FetchLocalFile(window);
    EndPictureTurn(window);
  } else if (std::strncmp(CurrentUrl, kHttpPrefix, kSchemeLength) == 0 ||
             std::strncmp(CurrentUrl, kHttpsPrefix, kHttpsSchemeLength) == 0) {
    FetchHttpUrl(window, command);
  }
}

void ShowFetchedPicture(int deleteSource) {
  unsigned before = PicturesTaken;
  ApplyWallpaper(deleteSource);
  if (PicturesTaken != before) std::memcpy(ShownUrl, RequestedUrl, sizeof ShownUrl);
}

void EndPictureTurn(HWND window) {
  if (!MonitorRoundActive()) return;
  EndMonitorTurn();
  // From the loop: the transfer that ended here is still being wound down.
  PostMessageA(window, WM_COMMAND, MonitorTurnCommandId, 0);
}

// Closes the running transfer; the partly written file stays on disk.
void AbortCommand(HWND window) { EndTransfer(window, {Ending::Abort, nullptr, nullptr}); }

// ProxyCheck does not toggle itself; the mark always shows ProxyMode.
void ProxyToggleCommand(HWND window) {
  ProxyMode = ProxyMode == 0 ? 1 : 0;
  SendMessageA(GetDlgItem(window, ProxyCheck), BM_SETCHECK, static_cast<WPARAM>(ProxyMode), 0);
}
