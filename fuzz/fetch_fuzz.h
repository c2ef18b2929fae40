// What the download harnesses share: a window to own the transfer and a
// scratch folder for the files it writes, both made once.
#pragma once

#include <windows.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

namespace fetchfuzz {

inline HWND Window() {
  static HWND window = [] {
    WNDCLASSA window_class{};
    window_class.lpfnWndProc = DefWindowProcA;
    window_class.lpszClassName = "FuzzOwner";
    RegisterClassA(&window_class);
    return CreateWindowExA(0, "FuzzOwner", "fuzz", 0, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
  }();
  return window;
}

// Ends with a separator, as WorkDir does; removed at exit.
inline const std::string& Folder() {
  static const std::string folder = [] {
    char name[] = "/tmp/skerrow-fetch-fuzz-XXXXXX";
    if (mkdtemp(name) == nullptr) std::abort();
    return std::string(name) + "/";
  }();
  static const bool removed_at_exit = std::atexit([] {
    std::error_code ignored;
    std::filesystem::remove_all(Folder(), ignored);
  }) == 0;
  (void)removed_at_exit;
  return folder;
}

}  // namespace fetchfuzz
