// A picture of its own for every monitor, through the shell's desktop
// wallpaper object. The chain makes one bitmap after another; each is held
// in a folder of the work folder until the round has one for every monitor,
// then all are set in one go, so that a desktop that lays out one picture
// over all monitors builds it once per step, not once per monitor.
#include <windows.h>
#include <objbase.h>
#include <shobjidl.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "app_constants.h"
#include "app_globals.h"
#include "fetch_globals.h"
#include "wallpaper.h"

unsigned PicturesTaken = 0;

namespace {

constexpr char kHeldFolder[] = "monitors";
// A picture that fails costs a try, and the next picture of the order goes
// to the same monitor; a list of failing addresses ends the round here.
constexpr int kTriesPerMonitor = 2;

struct HeldPicture {
  std::wstring monitor;
  std::string path;
  bool ours;  // made by the chain in the work folder, removed once set
};

struct Round {
  bool active = false;
  std::vector<std::wstring> monitors;  // in the round's order
  std::vector<HeldPicture> held;
  int tries_left = 0;
};
Round current_round;

// Whether the desktop's last change gave each monitor its own picture, and
// the monitor whose picture came last in it.
bool shown_per_monitor = false;
std::wstring last_monitor;

// The object with COM started for it; released with it.
class WallpaperObject {
 public:
  WallpaperObject() {
    started_ = SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    if (!started_) return;
    void* object = nullptr;
    if (SUCCEEDED(CoCreateInstance(CLSID_DesktopWallpaper, nullptr, CLSCTX_ALL, IID_IDesktopWallpaper, &object)))
      wallpaper_ = static_cast<IDesktopWallpaper*>(object);
  }
  ~WallpaperObject() {
    if (wallpaper_ != nullptr) wallpaper_->Release();
    if (started_) CoUninitialize();
  }
  WallpaperObject(const WallpaperObject&) = delete;
  WallpaperObject& operator=(const WallpaperObject&) = delete;
  IDesktopWallpaper* operator->() const { return wallpaper_; }
  explicit operator bool() const { return wallpaper_ != nullptr; }

 private:
  bool started_ = false;
  IDesktopWallpaper* wallpaper_ = nullptr;
};

struct PlacedMonitor {
  std::wstring id;
  RECT place;
};

std::vector<PlacedMonitor> MonitorsInOrder(WallpaperObject& wallpaper) {
  std::vector<PlacedMonitor> monitors;
  UINT count = 0;
  if (FAILED(wallpaper->GetMonitorDevicePathCount(&count))) return monitors;
  for (UINT i = 0; i < count; ++i) {
    LPWSTR id = nullptr;
    if (FAILED(wallpaper->GetMonitorDevicePathAt(i, &id)) || id == nullptr) continue;
    PlacedMonitor monitor{id, {}};
    CoTaskMemFree(id);
    if (SUCCEEDED(wallpaper->GetMonitorRECT(monitor.id.c_str(), &monitor.place))) monitors.push_back(monitor);
  }
  std::stable_sort(monitors.begin(), monitors.end(), [](const PlacedMonitor& a, const PlacedMonitor& b) {
    return a.place.left != b.place.left ? a.place.left < b.place.left : a.place.top < b.place.top;
  });
  return monitors;
}

std::wstring Wide(const std::string& text) {
  int length = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
  if (length <= 0) return std::wstring();
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, wide.data(), length);
  wide.resize(static_cast<size_t>(length - 1));
  return wide;
}

std::string Narrow(LPCWSTR wide) {
  int length = WideCharToMultiByte(CP_ACP, 0, wide, -1, nullptr, 0, nullptr, nullptr);
  if (length <= 0) return std::string();
  std::string text(static_cast<size_t>(length), '\0');
  WideCharToMultiByte(CP_ACP, 0, wide, -1, text.data(), length, nullptr, nullptr);
  text.resize(static_cast<size_t>(length - 1));
  return text;
}

void DropHeld() {
  for (const HeldPicture& picture : current_round.held)
    if (picture.ours) std::remove(picture.path.c_str());
  current_round.held.clear();
}

// Why the object refused a picture: the system's words for a Windows
// error where it has them, else the result's code.
std::string RefusalReason(HRESULT result) {
  char text[256];
  const auto bits = static_cast<DWORD>(result);
  const bool windows_error = (bits >> 16 & 0x1fff) == 7;  // FACILITY_WIN32
  if (windows_error && FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                      bits & 0xffff, 0, text, sizeof text, nullptr) > 0)
    return text;
  std::snprintf(text, sizeof text, "0x%08x", static_cast<unsigned>(bits));
  return text;
}

}  // namespace

bool BeginMonitorRound() {
  DropHeld();
  current_round = Round{};
  WallpaperObject wallpaper;
  if (!wallpaper) return false;
  std::vector<PlacedMonitor> monitors = MonitorsInOrder(wallpaper);
  if (monitors.size() < 2) return false;
  for (const PlacedMonitor& monitor : monitors) current_round.monitors.push_back(monitor.id);
  current_round.tries_left = kTriesPerMonitor * static_cast<int>(monitors.size());
  current_round.active = true;
  return true;
}

bool MonitorRoundActive() { return current_round.active; }

int MonitorRoundSize() { return static_cast<int>(current_round.monitors.size()); }

bool MonitorRoundWantsMore() {
  return current_round.active && current_round.tries_left > 0 && current_round.held.size() < current_round.monitors.size();
}

void EndMonitorTurn() {
  if (current_round.active && current_round.tries_left > 0) --current_round.tries_left;
}

// Called by the chain in place of the wallpaper call while a round runs.
bool HoldMonitorPicture(const char* bitmap, int deleteSource) {
  if (!current_round.active || current_round.held.size() >= current_round.monitors.size()) return false;
  const std::wstring& monitor = current_round.monitors[current_round.held.size()];
  if (deleteSource == 0) {
    // The person's own bitmap: set from where it is, never moved.
    current_round.held.push_back({monitor, bitmap, false});
    ++PicturesTaken;
    return true;
  }
  // The chain's own file, moved aside so that the next picture's files
  // cannot take its name.
  char folder[kScratchCapacity], held[kScratchCapacity];
  std::snprintf(folder, sizeof folder, "%s%s", WorkDir, kHeldFolder);
  if (!CreateDirectoryA(folder, nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) return false;
  int written = std::snprintf(held, sizeof held, "%s%c%zu.bmp", folder, kPathSeparator, current_round.held.size());
  if (written <= 0 || static_cast<size_t>(written) >= sizeof held) return false;
  if (!MoveFileExA(bitmap, held, MOVEFILE_REPLACE_EXISTING)) return false;
  current_round.held.push_back({monitor, held, true});
  ++PicturesTaken;
  return true;
}

void FinishMonitorRound() {
  if (!current_round.active) return;
  // The round is over before any desktop call runs.
  Round finished = std::move(current_round);
  current_round = Round{};
  bool changed = false;
  {
    WallpaperObject wallpaper;
    for (const HeldPicture& picture : finished.held) {
      std::wstring path = Wide(picture.path);
      HRESULT result = !wallpaper ? REGDB_E_CLASSNOTREG : path.empty() ? E_INVALIDARG
                                                         : wallpaper->SetWallpaper(picture.monitor.c_str(), path.c_str());
      if (SUCCEEDED(result)) {
        changed = true;
        last_monitor = picture.monitor;
      } else {
        // The chain does not look at the result; the monitor keeps its picture.
        std::fprintf(stderr, kMonitorRefusedFormat, picture.path.c_str(), RefusalReason(result).c_str());
      }
    }
  }
  if (changed) {
    ++WallpaperChanges;
    shown_per_monitor = true;
  }
  for (const HeldPicture& picture : finished.held)
    if (picture.ours) std::remove(picture.path.c_str());
}

void NoteOnePictureForAll() { shown_per_monitor = false; }

std::string ShownWallpaperCopy() {
  if (shown_per_monitor) {
    WallpaperObject wallpaper;
    LPWSTR path = nullptr;
    if (!wallpaper || FAILED(wallpaper->GetWallpaper(last_monitor.c_str(), &path)) || path == nullptr)
      return std::string();
    std::string text = Narrow(path);
    CoTaskMemFree(path);
    return text;
  }
  char stored[MAX_PATH] = "";
  if (!SystemParametersInfoA(SPI_GETDESKWALLPAPER, sizeof stored, stored, 0)) return std::string();
  return stored;
}

void ShowWallpaperAgain() {
  if (!shown_per_monitor) {
    std::string stored = ShownWallpaperCopy();
    if (!stored.empty()) SystemParametersInfoA(SPI_SETDESKWALLPAPER, 0, stored.data(), 0);
    return;
  }
  WallpaperObject wallpaper;
  if (!wallpaper) return;
  // Each monitor's own copy, set again: the desktop lays them out anew.
  for (const PlacedMonitor& monitor : MonitorsInOrder(wallpaper)) {
    LPWSTR path = nullptr;
    if (FAILED(wallpaper->GetWallpaper(monitor.id.c_str(), &path)) || path == nullptr) continue;
    if (path[0] != L'\0') wallpaper->SetWallpaper(monitor.id.c_str(), path);
    CoTaskMemFree(path);
  }
}
