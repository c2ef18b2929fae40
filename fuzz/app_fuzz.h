// What the application harnesses share: the program's window made once in a
// scratch folder of the harness's own, with a view that shows nothing, so
// message boxes neither print nor pile up.
#pragma once

#include <windows.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include "../platform/layer_view.h"
#include "app_globals.h"
#include "layer_control.h"

namespace appfuzz {

class QuietView : public layer::View {
 public:
  int ShowMessageBox(HWND, std::string_view, std::string_view, UINT, int answer) override { return answer; }
  void WallpaperChanged(std::string_view, const std::string&) override {}
};

// The scratch folder, made once and removed at exit; the current folder,
// TEMP and the wallpaper store all point into it.
inline const std::string& Scratch() {
  static const std::string folder = [] {
    char name[] = "/tmp/skerrow-app-fuzz-XXXXXX";
    if (mkdtemp(name) == nullptr) std::abort();
    return std::string(name);
  }();
  // Registered after the name exists, so it runs before the name goes.
  static const bool removed_at_exit = std::atexit([] {
    std::error_code ignored;
    std::filesystem::remove_all(Scratch(), ignored);
  }) == 0;
  (void)removed_at_exit;
  return folder;
}

// The main window, made once with no configuration file in place.
inline HWND Window() {
  static HWND window = [] {
    static QuietView view;
    layer::AttachView(&view);
    std::filesystem::create_directories(Scratch() + "/temp");
    if (chdir(Scratch().c_str()) != 0) std::abort();
    setenv("TEMP", (Scratch() + "/temp").c_str(), 1);
    setenv("XDG_STATE_HOME", (Scratch() + "/state").c_str(), 1);
    if (RegisterMainClass(LayerProgramInstance()) == 0) std::abort();
    if (InitMainWindow(LayerProgramInstance(), SW_SHOWDEFAULT) == 0) std::abort();
    return MainWindow;
  }();
  LayerClearMessageBoxes();
  return window;
}

}  // namespace appfuzz
