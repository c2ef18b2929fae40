// The rotation through UrlBox's list, the editing of that list through the
// combo box's edit field, and the interval set with IntervalBar. Which
// address comes next is picture_order.cpp's to say.
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "app_constants.h"
#include "app_globals.h"
#include "fetch_globals.h"
#include "picture_order.h"
#include "wallpaper.h"

int IntervalMs = kDefaultIntervalMs;
int RotationIndex = 1;
int EditSlot = -1;
int SelectionChanged = 0;

namespace {

// A step back over every monitor begins with the address it stepped to.
bool round_starts_at_current = false;

constexpr int kEditCapacity = 1024;

HWND UrlBoxOf(HWND window) { return GetDlgItem(window, UrlBox); }

int EntryCount(HWND box) { return static_cast<int>(SendMessageA(box, CB_GETCOUNT, 0, 0)); }

int CurrentSelection(HWND box) { return static_cast<int>(SendMessageA(box, CB_GETCURSEL, 0, 0)); }

bool HasUrlPrefix(std::string_view text) {
  return text.starts_with(kHttpPrefix) || text.starts_with(kHttpsPrefix) || text.starts_with(kFilePrefix);
}

void InsertEntry(HWND box, int index, const char* text) {
  SendMessageA(box, CB_INSERTSTRING, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(text));
}

// Drops every entry that is not an address, such as a new entry left empty.
void PurgeList(HWND box) {
  for (int i = EntryCount(box) - 1; i >= 1; --i) {
    if (!HasUrlPrefix(EntryText(box, i))) SendMessageA(box, CB_DELETESTRING, static_cast<WPARAM>(i), 0);
  }
  SelectionChanged = 1;
  RotationIndex = CurrentSelection(box);
}

// The entry at EditSlot follows the edit field while it holds an address.
void CommitEditText(HWND box) {
  char text[kEditCapacity];
  SendMessageA(box, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text));
  if (EditSlot == -1) {
    EditSlot = EntryCount(box);
  } else {
    SendMessageA(box, CB_DELETESTRING, static_cast<WPARAM>(EditSlot), 0);
  }
  if (text[0] == '\0' || !HasUrlPrefix(text)) {
    EditSlot = -1;
    return;
  }
  InsertEntry(box, EditSlot, text);
}

// Choosing the first entry opens a new, empty one for the edit field.
void TakeSelection(HWND box) {
  EditSlot = CurrentSelection(box);
  if (EditSlot != 0) return;
  InsertEntry(box, -1, "");
  EditSlot = EntryCount(box) - 1;
  SendMessageA(box, CB_SETCURSEL, static_cast<WPARAM>(EditSlot), 0);
}

}  // namespace

void RotateCommand(HWND window) {
  HWND box = UrlBoxOf(window);
  if (EntryCount(box) < 2) return;
  // A step already gathering pictures goes on at its fetch's end.
  if (MonitorRoundActive()) return;
  if (EachMonitor && BeginMonitorRound()) {
    ContinueMonitorRound(window);
    return;
  }
  if (TakeNextAddress(box)) FetchCurrentUrl(window, RotateCommandId);
}

void StepBackMonitors(HWND window) {
  if (MonitorRoundActive() || !BeginMonitorRound()) return;
  // The monitors show the order's last N pictures; the step before showed
  // the N before those, from the first of them on.
  int back = 2 * MonitorRoundSize() - 1;
  int stepped = 0;
  while (stepped < back && TakePreviousAddress(window)) ++stepped;
  if (stepped == 0) {
    FinishMonitorRound();
    return;
  }
  round_starts_at_current = true;
  ContinueMonitorRound(window);
}

void ContinueMonitorRound(HWND window) {
  if (!MonitorRoundActive() || TransferUnderWay()) return;
  HWND box = UrlBoxOf(window);
  bool at_current = round_starts_at_current;
  round_starts_at_current = false;
  if (MonitorRoundWantsMore() && EntryCount(box) >= 2 && (at_current || TakeNextAddress(box))) {
    FetchCurrentUrl(window, RotateCommandId);
    return;
  }
  FinishMonitorRound();
  RestartRotation(window);
}

void UrlBoxNotification(HWND window, int code) {
  HWND box = UrlBoxOf(window);
  switch (code) {
    case CBN_SELCHANGE:
      PurgeList(box);
      break;
    case CBN_EDITUPDATE:
      if (!SelectionChanged) CommitEditText(box);
      break;
    case CBN_DROPDOWN:
      CommitEditText(box);
      break;
    case CBN_SELENDOK:
      TakeSelection(box);
      break;
    default:
      SelectionChanged = 0;
      break;
  }
}

// Ticks only rotate while the window is in the tray, the rotation is not
// paused and no transfer runs; a skipped tick is not made up later.
void RotationTick(HWND window) {
  if (Paused) {
    KillTimer(window, RotationTimer);  // a transfer's end may have set it again
    return;
  }
  if (TransferSocket == INVALID_SOCKET && !IsWindowVisible(window)) {
    // A round that a whole interval left without a fetch lost its way (a
    // fetch that never began): what it holds is shown, and the step is over.
    if (MonitorRoundActive() && !TransferUnderWay()) FinishMonitorRound();
    SendMessageA(window, WM_COMMAND, RotateCommandId, 0);
  }
}

void ChangeInterval(HWND window, int request, int thumb_position) {
  // Computed wide: a configured interval near the int limit plus a page
  // step would otherwise overflow before it is clamped.
  long long interval = IntervalMs;
  switch (request) {
    case SB_LINELEFT: interval -= kIntervalStepMs; break;
    case SB_LINERIGHT: interval += kIntervalStepMs; break;
    case SB_PAGELEFT: interval -= kIntervalPageMs; break;
    case SB_PAGERIGHT: interval += kIntervalPageMs; break;
    case SB_THUMBPOSITION:
    case SB_THUMBTRACK: interval = static_cast<long long>(static_cast<unsigned>(thumb_position)) * kIntervalStepMs; break;
    default: break;
  }
  if (interval < kMinIntervalMs) interval = kMinIntervalMs;
  if (interval > kMaxIntervalMs) interval = kMaxIntervalMs;
  IntervalMs = static_cast<int>(interval);
  ShowInterval(window);
}

void ShowInterval(HWND window) {
  char label[64];
  std::snprintf(label, sizeof label, kIntervalFormat, IntervalMs / 60000);
  SendMessageA(GetDlgItem(window, IntervalLabel), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(label));
  SetScrollPos(GetDlgItem(window, IntervalBar), SB_CTL, IntervalMs / kIntervalStepMs, TRUE);
}
