// The desktop wallpaper object: a picture per monitor. Each picture is
// copied into the store when it is set; the pictures set in one turn of the
// loop are shown together at the next, by the current monitor layout: a
// picture on each monitor where the desktop has a setting per monitor, else
// one picture the layer lays out over all of them and shows spanned.
#include <shobjidl.h>
#include <windows.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "desktop/desktop_setter.h"
#include "desktop/mapped_file.h"
#include "desktop/root_picture.h"
#include "event_sources.h"
#include "layer_model.h"
#include "layer_view.h"
#include "stored_files.h"

extern "C" const CLSID CLSID_DesktopWallpaper = {
    0xC2CF3110, 0x460E, 0x4FC1, {0xB9, 0xD0, 0x8A, 0x1C, 0x0C, 0x9C, 0xC4, 0xBD}};
extern "C" const IID IID_IDesktopWallpaper = {
    0xB92B56A9, 0x8B55, 0x4E14, {0x9A, 0x89, 0x01, 0x99, 0xBB, 0xB6, 0xF9, 0x3B}};

namespace layer {
namespace {

constexpr IID kIidUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
constexpr HRESULT kNoAggregation = static_cast<HRESULT>(0x80040110);  // CLASS_E_NOAGGREGATION

// Copies of the monitors' pictures are "monitor-<name>-<n>.bmp", of the
// composite "spanned-<n>.bmp"; n grows with every copy of either kind.
constexpr std::string_view kMonitorStem = "monitor-";
constexpr std::string_view kSpannedStem = "spanned";
constexpr std::string_view kCopySuffix = ".bmp";

// A composite larger than this (pixels) is refused rather than allocated.
constexpr int64_t kLargestComposite = int64_t{1} << 26;

bool SameGuid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }

// A picture on its way into the store: written, neither safe on disk nor
// under its name yet.
struct ArrivingCopy {
  std::string given;  // the caller's path, for the view
  IncomingFile file;
};

struct Gathering {
  int com_users = 0;
  std::vector<MonitorPlace> monitors;  // as last listed
  std::map<std::string, std::unique_ptr<ArrivingCopy>> arriving;  // by monitor name, set since the last show
  std::map<std::string, std::string> stored;  // by monitor name: its latest picture safe in the store
  std::set<std::string> shown;                // the copies the desktop last took
  std::map<std::string, FileDescriptor> held;  // locks on the copies kept, for programs sharing the store
  UINT_PTR timer = 0;
} gathering;

// A monitor's name as a file name's part.
std::string SafeName(std::string_view name) {
  std::string safe;
  for (char c : name) {
    bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.';
    safe += plain ? c : '_';
  }
  return safe.empty() ? std::string("_") : safe;
}

// The copies of this object in `folder`, by name, with their numbers.
std::map<std::string, uint64_t> OurCopies(const std::string& folder) {
  std::map<std::string, uint64_t> copies;
  DIR* listing = opendir(folder.c_str());
  if (listing == nullptr) return copies;
  while (const dirent* entry = readdir(listing)) {
    std::string_view name = entry->d_name;
    if (!(name.starts_with(kMonitorStem) || name.starts_with(kSpannedStem)) || !name.ends_with(kCopySuffix)) continue;
    name.remove_suffix(kCopySuffix.size());
    size_t dash = name.rfind('-');
    if (dash == std::string_view::npos || dash + 1 == name.size()) continue;
    uint64_t number = 0;
    auto [end, error] = std::from_chars(name.data() + dash + 1, name.data() + name.size(), number);
    if (error == std::errc() && end == name.data() + name.size()) copies[folder + "/" + entry->d_name] = number;
  }
  closedir(listing);
  return copies;
}

// Removes every copy of ours but those in `keep`.
void SweepCopies(const std::string& folder, const std::set<std::string>& keep) {
  std::vector<std::string> going;
  for (const auto& [path, number] : OurCopies(folder))
    if (!keep.contains(path)) going.push_back(path);
  RemoveStoredFiles(going);
}

// Makes a written copy safe on disk and gives it the next number under
// `stem`; its path goes to `stored`. 0, or the error.
DWORD FinishCopy(const std::string& folder, std::string_view stem_name, IncomingFile* file, std::string* stored) {
  uint64_t last = 0;
  for (const auto& [path, number] : OurCopies(folder)) last = std::max(last, number);
  std::string stem = folder + "/" + std::string(stem_name) + "-";
  DWORD error = file->Sync();
  if (error == 0)
    error = NameFirstFree([&](const std::string& path) { return file->NameUnlessTaken(path); }, stem, last + 1,
                          kCopySuffix, stored);
  if (error == 0) gathering.held[*stored].reset(file->ReleaseHold());
  return error;
}

bool WriteAll(int fd, const unsigned char* bytes, size_t size) {
  while (size > 0) {
    ssize_t put = write(fd, bytes, size);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    bytes += put;
    size -= static_cast<size_t>(put);
  }
  return true;
}

void Put32(unsigned char* at, uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<unsigned char>(value >> (8 * i));
}

// Pixels of the composite's size. Fresh pages cost a fault each, which on
// some virtual machines is most of the composite's time: they are mapped
// in large pages where the system has them, all at once, and kept for the
// next composite of the same size (the layout rarely changes).
class PixelBuffer {
 public:
  PixelBuffer(int width, int height) : size_(sizeof(uint32_t) * static_cast<size_t>(width) * static_cast<size_t>(height)) {
    void* at = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (at == MAP_FAILED) return;
    madvise(at, size_, MADV_HUGEPAGE);
    madvise(at, size_, MADV_POPULATE_WRITE);
    area_ = {static_cast<uint32_t*>(at), width, height, static_cast<size_t>(width)};
  }
  ~PixelBuffer() {
    if (area_.pixels != nullptr) munmap(area_.pixels, size_);
  }
  PixelBuffer(const PixelBuffer&) = delete;
  PixelBuffer& operator=(const PixelBuffer&) = delete;
  const PixelArea& area() const { return area_; }

 private:
  size_t size_;
  PixelArea area_ = {nullptr, 0, 0, 0};
};

// The composite as a 24-bit bitmap, bottom row first.
bool WriteBitmap(int fd, const PixelArea& picture) {
  const size_t row_bytes = (static_cast<size_t>(picture.width) * 3 + 3) & ~size_t{3};
  const uint64_t pixel_bytes = row_bytes * static_cast<uint64_t>(picture.height);
  unsigned char head[54] = {'B', 'M'};
  Put32(head + 2, static_cast<uint32_t>(54 + pixel_bytes));
  Put32(head + 10, 54);
  Put32(head + 14, 40);
  Put32(head + 18, static_cast<uint32_t>(picture.width));
  Put32(head + 22, static_cast<uint32_t>(picture.height));
  head[26] = 1;   // planes
  head[28] = 24;  // bits
  Put32(head + 34, static_cast<uint32_t>(pixel_bytes));
  if (!WriteAll(fd, head, sizeof head)) return false;
  // Rows go out in batches of a few megabytes, packed in parallel halves.
  const int batch_rows = std::max(1, static_cast<int>((size_t{4} << 20) / row_bytes));
  std::vector<unsigned char> batch(row_bytes * static_cast<size_t>(batch_rows));
  auto pack = [&](int first, int from_row, int to_row) {
    for (int r = from_row; r < to_row; ++r) {
      const uint32_t* in = picture.pixels + static_cast<size_t>(picture.height - 1 - (first + r)) * picture.stride;
      unsigned char* out = batch.data() + static_cast<size_t>(r) * row_bytes;
      for (int x = 0; x < picture.width; ++x) {
        uint32_t p = in[x];
        out[3 * x] = static_cast<unsigned char>(p);
        out[3 * x + 1] = static_cast<unsigned char>(p >> 8);
        out[3 * x + 2] = static_cast<unsigned char>(p >> 16);
      }
      std::fill(out + 3 * static_cast<size_t>(picture.width), out + row_bytes, 0);
    }
  };
  for (int first = 0; first < picture.height; first += batch_rows) {
    if (CloseRequested()) {  // a close waits for one batch at most
      errno = ECANCELED;
      return false;
    }
    int count = std::min(batch_rows, picture.height - first);
    std::thread helper(pack, first, count / 2, count);
    pack(first, 0, count / 2);
    helper.join();
    if (!WriteAll(fd, batch.data(), row_bytes * static_cast<size_t>(count))) return false;
    // The disk starts on each batch while the next is packed, so the sync
    // at the end has little left to wait for.
    sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
  }
  return true;
}

MonitorArea Bounds(const std::vector<MonitorPlace>& monitors) {
  MonitorArea bounds = {};
  for (const MonitorPlace& m : monitors) {
    if (m.width <= 0 || m.height <= 0) continue;
    if (bounds.width == 0) {
      bounds = {m.x, m.y, m.width, m.height};
      continue;
    }
    int right = std::max(bounds.x + bounds.width, m.x + m.width);
    int bottom = std::max(bounds.y + bounds.height, m.y + m.height);
    bounds.x = std::min(bounds.x, m.x), bounds.y = std::min(bounds.y, m.y);
    bounds.width = right - bounds.x, bounds.height = bottom - bounds.y;
  }
  return bounds;
}

// One picture over the monitors' bounding box, each monitor's own fitted to
// it, black where a monitor has none and between monitors; stored as a
// bitmap whose path goes to `stored`.
bool Compose(const std::string& folder, const std::vector<MonitorPlace>& monitors,
             const std::vector<MonitorPicture>& pictures, std::string* stored, std::string* why) {
  MonitorArea bounds = Bounds(monitors);
  if (bounds.width <= 0 || int64_t{bounds.width} * bounds.height > kLargestComposite) {
    *why = "the monitors span no picture this layer can lay out";
    return false;
  }
  std::vector<std::unique_ptr<MappedFile>> files;
  std::vector<Bitmap> bitmaps(pictures.size());
  std::vector<MonitorBitmap> placed;
  for (size_t i = 0; i < pictures.size(); ++i) {
    files.push_back(std::make_unique<MappedFile>(pictures[i].path.c_str()));
    if (!files.back()->ok() || !ParseBitmap(files.back()->bytes(), &bitmaps[i], why)) {
      *why = "the stored picture for " + pictures[i].monitor.name + " cannot be read";
      return false;
    }
    const MonitorPlace& m = pictures[i].monitor;
    placed.push_back({&bitmaps[i], {m.x - bounds.x, m.y - bounds.y, m.width, m.height}});
  }
  static std::unique_ptr<PixelBuffer> kept;
  if (kept == nullptr || kept->area().width != bounds.width || kept->area().height != bounds.height) {
    kept.reset();  // the earlier size's pages go first
    kept = std::make_unique<PixelBuffer>(bounds.width, bounds.height);
  }
  PixelBuffer& composite = *kept;
  if (composite.area().pixels == nullptr) {
    *why = "no memory for the composite picture";
    return false;
  }
  DrawEach(placed, ChosenFit(), composite.area());
  IncomingFile file;
  DWORD error = file.Open(folder);
  if (error == 0) error = WriteBitmap(file.get(), composite.area()) ? 0 : StoreError(errno);
  if (error == 0) error = FinishCopy(folder, kSpannedStem, &file, stored);
  if (error != 0) {
    stored->clear();
    *why = std::string("the composite picture could not be stored: ") + StoreFailure(error);
  }
  return error == 0;
}

// Makes the monitors' new pictures safe under their names, each one's
// caller's path and copy going to `announced`; a copy that cannot be is
// dropped, and its monitor keeps its earlier picture.
std::string FinishArriving(const std::string& folder, std::vector<std::pair<std::string, std::string>>* announced) {
  std::string failure;
  for (auto& [name, copy] : gathering.arriving) {
    std::string stored;
    if (DWORD error = FinishCopy(folder, std::string(kMonitorStem) + SafeName(name), &copy->file, &stored)) {
      failure += "wallpaper refused: the picture for " + name + " could not be stored: " + StoreFailure(error) +
                 "; it keeps its picture\n";
      continue;
    }
    gathering.stored[name] = stored;
    announced->emplace_back(copy->given, stored);
  }
  return failure;
}

// The current monitors with the latest picture of each that has one: the
// arriving copy when `arriving`, else the stored one.
std::vector<MonitorPicture> LatestPictures(bool arriving) {
  std::vector<MonitorPicture> pictures;
  for (const MonitorPlace& monitor : gathering.monitors) {
    auto coming = gathering.arriving.find(monitor.name);
    if (arriving && coming != gathering.arriving.end()) {
      pictures.push_back({monitor, coming->second->file.ReadPath()});
      continue;
    }
    auto kept = gathering.stored.find(monitor.name);
    if (kept != gathering.stored.end()) pictures.push_back({monitor, kept->second});
  }
  return pictures;
}

void CALLBACK ShowGathered(HWND, UINT, UINT_PTR, DWORD) {
  KillTimer(nullptr, gathering.timer);
  gathering.timer = 0;
  const DesktopSetter& desktop = ChosenDesktop();
  std::string folder = StoreFolder();
  std::string why, failure;
  std::vector<MonitorPlace> monitors;
  if (ListMonitors(&monitors, &why)) gathering.monitors = monitors;  // else the layout last known
  // Pictures of monitors that are gone go with them.
  std::erase_if(gathering.arriving, [](const auto& entry) {
    return std::none_of(gathering.monitors.begin(), gathering.monitors.end(),
                        [&](const MonitorPlace& m) { return m.name == entry.first; });
  });
  std::erase_if(gathering.stored, [](const auto& entry) {
    return std::none_of(gathering.monitors.begin(), gathering.monitors.end(),
                        [&](const MonitorPlace& m) { return m.name == entry.first; });
  });
  std::string given = gathering.arriving.empty() ? std::string() : gathering.arriving.begin()->second->given;
  bool shown = false;
  // Each caller's path with the copy the view is told of: the monitors' own
  // copies, or the one composite.
  std::vector<std::pair<std::string, std::string>> announced;
  std::set<std::string> showing;
  if (desktop.show_each != nullptr) {
    // A desktop that takes the pixels at once is shown the arriving copies
    // before they are synced; one that keeps the paths only safe ones.
    if (desktop.keeps_path) failure += FinishArriving(folder, &announced);
    std::vector<MonitorPicture> pictures = LatestPictures(!desktop.keeps_path);
    shown = desktop.show_each(pictures, ChosenFit(), &why);
    if (!desktop.keeps_path) failure += FinishArriving(folder, &announced);
  } else {
    std::string composite;
    shown = Compose(folder, gathering.monitors, LatestPictures(true), &composite, &why) &&
            desktop.show(composite.c_str(), WallpaperFit::kSpan, &why);
    if (!composite.empty()) showing.insert(composite);
    std::vector<std::pair<std::string, std::string>> monitors_stored;
    failure += FinishArriving(folder, &monitors_stored);
    if (!composite.empty()) announced.emplace_back(given, composite);
  }
  gathering.arriving.clear();
  for (const auto& [name, path] : gathering.stored) showing.insert(path);
  if (!shown)
    failure += std::string("desktop: ") + desktop.name + " did not take the wallpapers: " + why + "\n";
  else
    gathering.shown = showing;
  std::set<std::string> keep = showing;
  keep.insert(gathering.shown.begin(), gathering.shown.end());
  std::erase_if(gathering.held, [&](const auto& entry) { return !keep.contains(entry.first); });
  SweepCopies(folder, keep);
  // The change is whole in every record; now the view may run anything.
  for (const auto& [caller_path, copy] : announced) CurrentView().WallpaperChanged(caller_path, copy);
  if (!failure.empty()) {
    std::fwrite(failure.data(), 1, failure.size(), stderr);
    std::fflush(stderr);
  }
}

// The monitors as last listed; listed now if never before.
const std::vector<MonitorPlace>* KnownMonitors() {
  if (gathering.monitors.empty()) {
    std::string why;
    if (!ListMonitors(&gathering.monitors, &why)) return nullptr;
  }
  return &gathering.monitors;
}

// The wide text as the ANSI page spells it; false when it cannot.
bool Narrow(LPCWSTR wide, std::string* text) {
  int size = WideCharToMultiByte(CP_ACP, 0, wide, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return false;
  text->assign(static_cast<size_t>(size), '\0');
  BOOL lossy = FALSE;
  if (WideCharToMultiByte(CP_ACP, 0, wide, -1, text->data(), size, nullptr, &lossy) != size || lossy) return false;
  text->pop_back();
  return true;
}

// The text in wide characters the caller frees with CoTaskMemFree.
HRESULT WideCopy(const std::string& text, LPWSTR* wide) {
  int size = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
  if (size <= 0) return HRESULT_FROM_WIN32(GetLastError());
  auto* copy = static_cast<LPWSTR>(std::malloc(sizeof(WCHAR) * static_cast<size_t>(size)));
  if (copy == nullptr) return E_OUTOFMEMORY;
  MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, copy, size);
  *wide = copy;
  return S_OK;
}

// The monitor a caller's id names, or null.
const MonitorPlace* MonitorNamed(LPCWSTR id) {
  std::string name;
  const std::vector<MonitorPlace>* monitors = KnownMonitors();
  if (id == nullptr || monitors == nullptr || !Narrow(id, &name)) return nullptr;
  for (const MonitorPlace& monitor : *monitors)
    if (monitor.name == name) return &monitor;
  return nullptr;
}

// The registry's placement pairs (WallpaperStyle, TileWallpaper) by position.
struct PositionValues {
  DESKTOP_WALLPAPER_POSITION position;
  WallpaperFit fit;
  const char* style;
  const char* tile;
};
constexpr PositionValues kPositions[] = {
    {DWPOS_CENTER, WallpaperFit::kCenter, "0", "0"}, {DWPOS_TILE, WallpaperFit::kTile, "0", "1"},
    {DWPOS_STRETCH, WallpaperFit::kStretch, "2", "0"}, {DWPOS_FIT, WallpaperFit::kFit, "6", "0"},
    {DWPOS_FILL, WallpaperFit::kFill, "10", "0"},     {DWPOS_SPAN, WallpaperFit::kSpan, "22", "0"}};

class DesktopWallpaper final : public IDesktopWallpaper {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_INVALIDARG;
    *object = nullptr;
    if (!SameGuid(iid, IID_IDesktopWallpaper) && !SameGuid(iid, kIidUnknown)) return E_NOINTERFACE;
    AddRef();
    *object = this;
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override {
    ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }

  HRESULT STDMETHODCALLTYPE SetWallpaper(LPCWSTR monitor_id, LPCWSTR wallpaper) override {
    const MonitorPlace* monitor = MonitorNamed(monitor_id);
    std::string path;
    if (monitor == nullptr || wallpaper == nullptr || !Narrow(wallpaper, &path) || path.empty()) return E_INVALIDARG;
    auto copy = std::make_unique<ArrivingCopy>();
    copy->given = path;
    std::string folder = StoreFolder();
    FileDescriptor source;
    uint64_t bytes = 0;
    if (folder.empty()) return HRESULT_FROM_WIN32(ERROR_ENVVAR_NOT_FOUND);
    if (!OpenPicture(path.c_str(), &source, &bytes)) return HRESULT_FROM_WIN32(GetLastError());
    if (!MakeFolders(folder)) return HRESULT_FROM_WIN32(StoreError(errno));
    DWORD error = copy->file.Open(folder);
    if (error == 0) error = CopyBytes(source.get(), copy->file.get(), bytes);
    if (error != 0) return HRESULT_FROM_WIN32(error);
    gathering.arriving[monitor->name] = std::move(copy);
    if (gathering.timer == 0) gathering.timer = SetTimer(nullptr, 0, 0, ShowGathered);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetWallpaper(LPCWSTR monitor_id, LPWSTR* wallpaper) override {
    const MonitorPlace* monitor = MonitorNamed(monitor_id);
    if (monitor == nullptr || wallpaper == nullptr) return E_INVALIDARG;
    auto stored = gathering.stored.find(monitor->name);
    return WideCopy(stored != gathering.stored.end() ? stored->second : std::string(), wallpaper);
  }
  HRESULT STDMETHODCALLTYPE GetMonitorDevicePathAt(UINT index, LPWSTR* monitor_id) override {
    const std::vector<MonitorPlace>* monitors = KnownMonitors();
    if (monitor_id == nullptr) return E_INVALIDARG;
    if (monitors == nullptr) return HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED);
    if (index >= monitors->size()) return E_INVALIDARG;
    return WideCopy((*monitors)[index].name, monitor_id);
  }
  HRESULT STDMETHODCALLTYPE GetMonitorDevicePathCount(UINT* count) override {
    if (count == nullptr) return E_INVALIDARG;
    *count = 0;
    // Asked at the start of a step: the layout is looked up afresh.
    std::vector<MonitorPlace> monitors;
    std::string why;
    if (!ListMonitors(&monitors, &why)) return HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED);
    gathering.monitors = std::move(monitors);
    *count = static_cast<UINT>(gathering.monitors.size());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetMonitorRECT(LPCWSTR monitor_id, RECT* rect) override {
    const MonitorPlace* monitor = MonitorNamed(monitor_id);
    if (monitor == nullptr || rect == nullptr) return E_INVALIDARG;
    *rect = {monitor->x, monitor->y, monitor->x + monitor->width, monitor->y + monitor->height};
    return S_OK;
  }
  // What no picture covers is black, and stays so.
  HRESULT STDMETHODCALLTYPE SetBackgroundColor(COLORREF) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetBackgroundColor(COLORREF* color) override {
    if (color == nullptr) return E_INVALIDARG;
    *color = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetPosition(DESKTOP_WALLPAPER_POSITION position) override {
    for (const PositionValues& known : kPositions) {
      if (known.position != position) continue;
      HKEY key = nullptr;
      if (RegCreateKeyExA(HKEY_CURRENT_USER, "Control Panel\\Desktop", 0, nullptr, REG_OPTION_NON_VOLATILE,
                          KEY_SET_VALUE, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
      RegSetValueExA(key, "WallpaperStyle", 0, REG_SZ, reinterpret_cast<const BYTE*>(known.style),
                     static_cast<DWORD>(std::strlen(known.style) + 1));
      RegSetValueExA(key, "TileWallpaper", 0, REG_SZ, reinterpret_cast<const BYTE*>(known.tile),
                     static_cast<DWORD>(std::strlen(known.tile) + 1));
      RegCloseKey(key);
      return S_OK;
    }
    return E_INVALIDARG;
  }
  HRESULT STDMETHODCALLTYPE GetPosition(DESKTOP_WALLPAPER_POSITION* position) override {
    if (position == nullptr) return E_INVALIDARG;
    // Without a chosen placement the layer's own renderings fill.
    WallpaperFit fit = ChosenFit();
    *position = DWPOS_FILL;
    for (const PositionValues& known : kPositions)
      if (known.fit == fit) *position = known.position;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetSlideshow(IShellItemArray*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetSlideshow(IShellItemArray**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetSlideshowOptions(DESKTOP_SLIDESHOW_OPTIONS, UINT) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetSlideshowOptions(DESKTOP_SLIDESHOW_OPTIONS*, UINT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE AdvanceSlideshow(LPCWSTR, DESKTOP_SLIDESHOW_DIRECTION) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetStatus(DESKTOP_SLIDESHOW_STATE*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Enable(BOOL) override { return E_NOTIMPL; }

 private:
  ULONG references_ = 1;
};

}  // namespace

void ResetDesktopWallpaper() { gathering = Gathering(); }

}  // namespace layer

using namespace layer;

HRESULT WINAPI CoInitializeEx(LPVOID, DWORD) { return gathering.com_users++ == 0 ? S_OK : S_FALSE; }

void WINAPI CoUninitialize(void) {
  if (gathering.com_users > 0) --gathering.com_users;
}

HRESULT WINAPI CoCreateInstance(REFCLSID clsid, LPUNKNOWN outer, DWORD, REFIID iid, LPVOID* object) {
  if (object == nullptr) return E_INVALIDARG;
  *object = nullptr;
  if (gathering.com_users == 0) return CO_E_NOTINITIALIZED;
  if (!SameGuid(clsid, CLSID_DesktopWallpaper)) return REGDB_E_CLASSNOTREG;
  if (outer != nullptr) return kNoAggregation;
  auto* wallpaper = new DesktopWallpaper();
  HRESULT result = wallpaper->QueryInterface(iid, object);
  wallpaper->Release();
  return result;
}

void WINAPI CoTaskMemFree(LPVOID memory) { std::free(memory); }
