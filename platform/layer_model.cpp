// The model itself and the handles that name its windows.
#include "layer_model.h"

#include "layer_view.h"

namespace layer {
namespace {

// Handle values stay clear of small numbers, so a control id or a count
// passed by mistake never names a window.
constexpr uintptr_t kHandleBase = 0x10000;
constexpr uintptr_t kHandleStep = 4;

}  // namespace

State& Model() {
  static State* state = new State;  // lives as long as the process
  return *state;
}

void ResetModel() {
  State& state = Model();
  for (const auto& [id, window] : state.windows) CurrentView().WindowDestroyed(HandleOf(id));
  state = State{};
}

HWND HandleOf(uint32_t id) {
  return reinterpret_cast<HWND>(kHandleBase + kHandleStep * static_cast<uintptr_t>(id));
}

uint32_t IdOf(HWND hwnd) {
  auto value = reinterpret_cast<uintptr_t>(hwnd);
  if (value <= kHandleBase || (value - kHandleBase) % kHandleStep != 0) return 0;
  uintptr_t id = (value - kHandleBase) / kHandleStep;
  return id > UINT32_MAX ? 0 : static_cast<uint32_t>(id);
}

Window* FindId(uint32_t id) {
  if (id == 0) return nullptr;
  auto& windows = Model().windows;
  auto it = windows.find(id);
  return it == windows.end() ? nullptr : it->second.get();
}

Window* Find(HWND hwnd) { return FindId(IdOf(hwnd)); }

bool IsDescendant(uint32_t id, uint32_t ancestor) {
  while (id != 0) {
    if (id == ancestor) return true;
    Window* window = FindId(id);
    if (window == nullptr) return false;
    id = window->parent;
  }
  return false;
}

void SetWindowTextInternal(Window& window, std::string_view text) {
  window.text.assign(text);
  CurrentView().WindowChanged(HandleOf(window.id));
}

}  // namespace layer
