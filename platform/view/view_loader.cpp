// Loads the desktop view when the program has a display. The module holds
// every Qt dependency, so a program without a display never maps Qt and
// keeps its small footprint.
#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "layer_view.h"
#include "module_folder.h"

namespace layer {
namespace {

using CreateView = View* (*)(const char* program, int* handed_over, const char** reason);
using DestroyView = void (*)(View*);

View* desktop_view = nullptr;
DestroyView destroy_view = nullptr;

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
  auto create = reinterpret_cast<CreateView>(dlsym(module, "SkerrowCreateDesktopView"));
  auto destroy = reinterpret_cast<DestroyView>(dlsym(module, "SkerrowDestroyDesktopView"));
  if (create == nullptr || destroy == nullptr) {
    SayHeadless("the view module lacks its entry points");
    return DesktopStart::kHeadless;
  }
  int handed_over = 0;
  const char* reason = "unknown failure";
  View* view = create(program != nullptr ? program : "skerrow", &handed_over, &reason);
  if (handed_over != 0) return DesktopStart::kHandedOver;
  if (view == nullptr) {
    SayHeadless(reason);
    return DesktopStart::kHeadless;
  }
  desktop_view = view;
  destroy_view = destroy;
  AttachView(view);
  return DesktopStart::kDesktop;
}

void StopDesktopView() {
  if (desktop_view == nullptr) return;
  AttachView(nullptr);
  destroy_view(desktop_view);
  desktop_view = nullptr;
}

}  // namespace layer
