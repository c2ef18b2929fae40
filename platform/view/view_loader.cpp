// Loads the desktop view when the program has a display. The module holds
// every Qt dependency, so a program without a display never maps Qt and
// keeps its small footprint. The module reaches the program only through
// the versioned table in layer_view_host.h; the program exports nothing.
#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "controls_port.h"
#include "layer_control.h"
#include "layer_model.h"
#include "layer_view.h"
#include "layer_view_host.h"
#include "module_folder.h"

namespace layer {
namespace {

// The layer's view over the module's table: what the layer tells a view,
// turned into ids and UTF-8.
class ModuleView final : public View {
 public:
  explicit ModuleView(const LayerViewModule& module) : module_(module) {}
  int ShowMessageBox(HWND owner, std::string_view caption, std::string_view text, UINT type,
                     int default_answer) override {
    // The box belongs to the owner's top-level window.
    const Window* top = Find(owner);
    while (top != nullptr && top->parent != 0) top = FindId(top->parent);
    return module_.show_message_box(top != nullptr ? top->id : 0, LayerCp932ToUtf8(caption).c_str(),
                                    LayerCp932ToUtf8(text).c_str(), type, default_answer);
  }
  void WallpaperChanged(std::string_view, const std::string& stored_path) override { SayWallpaper(stored_path); }
  void WindowChanged(HWND hwnd) override { module_.window_changed(IdOf(hwnd)); }
  void WindowDestroyed(HWND hwnd) override { module_.window_destroyed(IdOf(hwnd)); }
  void TrayChanged() override { module_.tray_changed(); }
  int Wait(pollfd* fds, size_t count, int timeout_ms) override { return module_.wait(fds, count, timeout_ms); }
  int MonitorCount() const override { return module_.monitor_count(); }
  UINT TrackMenu(const std::vector<LayerMenuLine>& lines, int x, int y) override {
    std::vector<std::string> texts;
    texts.reserve(lines.size());
    std::vector<LayerMenuEntry> entries;
    for (size_t i = 0; i < lines.size(); ++i) {
      const LayerMenuLine& line = lines[i];
      texts.push_back(LayerCp932ToUtf8(line.text));
      uint32_t flags = 0;
      if ((line.flags & MF_SEPARATOR) != 0) flags |= kLayerMenuSeparator;
      if ((line.flags & MF_CHECKED) != 0) flags |= kLayerMenuChecked;
      if ((line.flags & (MF_GRAYED | MF_DISABLED)) != 0) flags |= kLayerMenuGrayed;
      if ((line.flags & MFT_RADIOCHECK) != 0) flags |= kLayerMenuRadio;
      if ((line.flags & MF_POPUP) != 0) flags |= kLayerMenuSubmenu;
      entries.push_back(LayerMenuEntry{line.id, flags, line.depth, nullptr});
    }
    for (size_t i = 0; i < entries.size(); ++i) entries[i].text = texts[i].c_str();
    return module_.track_menu(entries.data(), entries.size(), x, y);
  }
  void CursorPosition(LONG* x, LONG* y) override {
    int32_t px = 0, py = 0;
    module_.cursor_position(&px, &py);
    *x = px;
    *y = py;
  }
  void Close() { module_.close(); }

 private:
  LayerViewModule module_;
};

ModuleView* desktop_view = nullptr;

bool Set(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && value[0] != '\0';
}

void SayHeadless(const char* reason) {
  std::fprintf(stderr, "skerrow: no window on this display (%s); running without one\n", reason);
  std::fflush(stderr);
}

}  // namespace

DesktopStart StartDesktopView(const char* program) {
  if (desktop_view != nullptr) return DesktopStart::kDesktop;
  if (!Set("DISPLAY") && !Set("WAYLAND_DISPLAY")) return DesktopStart::kHeadless;
  std::string looked_in;
  std::string path = ModulePath("libskerrow_view.so", &looked_in);
  if (path.empty()) {
    SayHeadless(("libskerrow_view.so not found in " + looked_in).c_str());
    return DesktopStart::kHeadless;
  }
  // Never unloaded: Qt keeps threads and handlers that outlive its objects.
  void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    SayHeadless(dlerror());
    return DesktopStart::kHeadless;
  }
  auto open = reinterpret_cast<LayerViewEntry>(dlsym(module, LAYER_VIEW_ENTRY));
  if (open == nullptr) {
    SayHeadless("the view module lacks its entry point");
    return DesktopStart::kHeadless;
  }
  LayerViewModule ops{};
  const char* reason = "unknown failure";
  int32_t result = open(&ViewHost(), &ops, program != nullptr ? program : "skerrow", &reason);
  if (result != kLayerViewOpened) {
    SayHeadless(reason);
    return DesktopStart::kHeadless;
  }
  desktop_view = new ModuleView(ops);
  AttachView(desktop_view);
  return DesktopStart::kDesktop;
}

void StopDesktopView() {
  if (desktop_view == nullptr) return;
  AttachView(nullptr);
  desktop_view->Close();
  delete desktop_view;
  desktop_view = nullptr;
}

}  // namespace layer
