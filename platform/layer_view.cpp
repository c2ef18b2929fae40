// Which view shows the model, and the headless one that stands in when no
// desktop view is attached.
#include "layer_view.h"

#include <poll.h>

#include <cstdio>

#include "layer_control.h"

namespace layer {
namespace {

bool IsUtf8(std::string_view text) {
  size_t i = 0;
  while (i < text.size()) {
    auto lead = static_cast<unsigned char>(text[i]);
    size_t extra;
    if (lead < 0x80)
      extra = 0;
    else if (lead >= 0xC2 && lead <= 0xDF)
      extra = 1;
    else if (lead >= 0xE0 && lead <= 0xEF)
      extra = 2;
    else if (lead >= 0xF0 && lead <= 0xF4)
      extra = 3;
    else
      return false;
    if (extra > text.size() - i - 1) return false;
    for (size_t k = 1; k <= extra; ++k)
      if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
    i += extra + 1;
  }
  return true;
}

class Headless final : public View {
 public:
  int ShowMessageBox(HWND, std::string_view caption, std::string_view text, UINT,
                     int default_answer) override {
    std::string line = LayerCp932ToUtf8(caption) + ": " + LayerCp932ToUtf8(text) + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
    return default_answer;
  }
  void WallpaperChanged(std::string_view, const std::string& stored_path) override { SayWallpaper(stored_path); }
};

Headless headless;
View* attached_view = nullptr;

}  // namespace

int View::Wait(pollfd* fds, size_t count, int timeout_ms) { return poll(fds, count, timeout_ms); }

View& HeadlessView() { return headless; }
View& CurrentView() { return attached_view != nullptr ? *attached_view : headless; }
void AttachView(View* view) { attached_view = view; }

std::string PathForDisplay(std::string_view path) {
  return IsUtf8(path) ? std::string(path) : LayerCp932ToUtf8(path);
}

void SayWallpaper(std::string_view stored_path) {
  std::string line = "wallpaper: " + PathForDisplay(stored_path) + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

}  // namespace layer
