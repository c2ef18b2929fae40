// The person's side of the controls, and the table the desktop view module
// reaches the program through. The module sees the model only as copies made
// here, so a change to the model's layout cannot reach into a module built
// before it.
#include "controls_port.h"

#include <algorithm>
#include <cstring>

#include "layer_control.h"
#include "layer_model.h"

namespace layer {
namespace person {
namespace {

// A control's notification, sent only while the window lives: an earlier
// one may have had the program destroy it.
bool NotifyIfAlive(uint32_t id, WORD code) {
  Window* window = FindId(id);
  if (window == nullptr) return false;
  Notify(*window, code);
  return true;
}

void SystemCommand(HWND window, WPARAM command) {
  if (Find(window) != nullptr) SendMessageA(window, WM_SYSCOMMAND, command, 0);
}

}  // namespace

bool Typed(HWND control, std::string_view utf8) {
  Window* window = Find(control);
  if (window == nullptr) return false;
  bool combo = window->kind == ControlKind::kComboBox;
  if (!combo && window->kind != ControlKind::kEdit) return false;
  std::string ansi;
  if (!LayerUtf8ToCp932(utf8, &ansi)) return false;
  if (window->text_limit != 0 && ansi.size() > window->text_limit) return false;
  uint32_t id = window->id;
  SetWindowTextInternal(*window, ansi);
  if (NotifyIfAlive(id, combo ? CBN_EDITUPDATE : EN_UPDATE)) NotifyIfAlive(id, combo ? CBN_EDITCHANGE : EN_CHANGE);
  return true;
}

// The program hears of the list first, as it may fill it.
void ListOpened(HWND combo) {
  Window* window = Find(combo);
  if (window == nullptr || window->kind != ControlKind::kComboBox) return;
  window->dropped = true;
  Notify(*window, CBN_DROPDOWN);
}

void ListClosed(HWND combo, bool picked) {
  Window* window = Find(combo);
  if (window == nullptr || window->kind != ControlKind::kComboBox) return;
  window->dropped = false;
  uint32_t id = window->id;
  if (!picked && !NotifyIfAlive(id, CBN_SELENDCANCEL)) return;
  NotifyIfAlive(id, CBN_CLOSEUP);
}

void ItemPicked(HWND combo, int index, bool from_list) {
  Window* window = Find(combo);
  if (window == nullptr || window->kind != ControlKind::kComboBox) return;
  if (index < 0 || static_cast<size_t>(index) >= window->items.size()) return;
  uint32_t id = window->id;
  window->selection = index;
  SetWindowTextInternal(*window, window->items[static_cast<size_t>(index)]);
  if (NotifyIfAlive(id, CBN_SELCHANGE) && from_list) NotifyIfAlive(id, CBN_SELENDOK);
}

// BM_CLICK, as Windows' own button sends itself on a click.
void Clicked(HWND button) {
  Window* window = Find(button);
  if (window != nullptr && window->kind == ControlKind::kButton) SendMessageA(button, BM_CLICK, 0, 0);
}

void Scrolled(HWND bar, int code, int position) {
  Window* window = Find(bar);
  if (window == nullptr || window->kind != ControlKind::kScrollBar || FindId(window->parent) == nullptr) return;
  UINT message = (window->style & SBS_VERT) != 0 ? WM_VSCROLL : WM_HSCROLL;
  SendMessageA(HandleOf(window->parent), message, MAKEWPARAM(code, static_cast<WORD>(position)),
               reinterpret_cast<LPARAM>(bar));
}

void Minimized(HWND window) { SystemCommand(window, SC_MINIMIZE); }
void Restored(HWND window) { SystemCommand(window, SC_RESTORE); }
void CloseClicked(HWND window) { SystemCommand(window, SC_CLOSE); }

// The icon's callback message with its id, and the mouse messages of the
// gesture, posted as the notification area posts them.
bool TrayClicked(HWND owner, UINT icon_id, LayerTrayGesture gesture) {
  for (const TrayIcon& icon : Model().tray) {
    if (icon.data.hWnd != owner || icon.data.uID != icon_id) continue;
    if ((icon.data.uFlags & NIF_MESSAGE) == 0 || Find(owner) == nullptr) return false;
    auto post = [&](UINT mouse) { PostMessageA(owner, icon.data.uCallbackMessage, icon_id, static_cast<LPARAM>(mouse)); };
    switch (gesture) {
      case kLayerTrayClick: post(WM_LBUTTONDOWN); post(WM_LBUTTONUP); break;
      case kLayerTrayDoubleClick: post(WM_LBUTTONDBLCLK); break;
      case kLayerTrayContextClick: post(WM_RBUTTONDOWN); post(WM_RBUTTONUP); break;
      case kLayerTrayMiddleClick: post(WM_MBUTTONDOWN); post(WM_MBUTTONUP); break;
      default: return false;
    }
    return true;
  }
  return false;
}

}  // namespace person

namespace {

// A window the module may show: live and not on its way out.
const Window* Shown(uint32_t id) {
  const Window* window = FindId(id);
  return window != nullptr && !window->destroying ? window : nullptr;
}

uint32_t KindOf(ControlKind kind) {
  switch (kind) {
    case ControlKind::kEdit: return kLayerViewEdit;
    case ControlKind::kComboBox: return kLayerViewComboBox;
    case ControlKind::kButton: return kLayerViewButton;
    case ControlKind::kScrollBar: return kLayerViewScrollBar;
    case ControlKind::kStatic: return kLayerViewStatic;
    default: return kLayerViewPlain;
  }
}

size_t CopyText(std::string_view ansi, char* buffer, size_t size) {
  std::string text = LayerCp932ToUtf8(ansi);
  if (buffer != nullptr && size > 0) {
    size_t copied = std::min(text.size(), size - 1);
    std::memcpy(buffer, text.data(), copied);
    buffer[copied] = '\0';
  }
  return text.size();
}

int WindowSnapshot(uint32_t id, LayerWindowSnapshot* out) {
  const Window* window = Shown(id);
  if (window == nullptr || out == nullptr) return 0;
  LayerWindowSnapshot s{};
  s.id = window->id;
  s.parent = window->parent;
  s.kind = KindOf(window->kind);
  s.style = window->style;
  s.x = window->x;
  s.y = window->y;
  s.width = window->width;
  s.height = window->height;
  s.visible = window->visible;
  s.minimized = window->minimized;
  s.enabled = window->enabled;
  s.dropped = window->dropped;
  s.selection = window->selection;
  s.check = window->check;
  s.item_count = static_cast<uint32_t>(window->items.size());
  const ScrollState& scroll = window->scroll[SB_CTL];
  s.scroll_min = scroll.min;
  s.scroll_max = scroll.max;
  s.scroll_pos = scroll.pos;
  if (window->parent == 0)
    for (const WindowClass& c : Model().classes)
      if (c.key == window->class_key) s.icon = c.info.hIcon;
  *out = s;
  return 1;
}

size_t WindowText(uint32_t id, char* buffer, size_t size) {
  const Window* window = Shown(id);
  return CopyText(window != nullptr ? std::string_view(window->text) : std::string_view(), buffer, size);
}

size_t ItemText(uint32_t id, uint32_t index, char* buffer, size_t size) {
  const Window* window = Shown(id);
  bool valid = window != nullptr && index < window->items.size();
  return CopyText(valid ? std::string_view(window->items[index]) : std::string_view(), buffer, size);
}

uint32_t TrayCount() { return static_cast<uint32_t>(Model().tray.size()); }

int TraySnapshot(uint32_t index, LayerTraySnapshot* out) {
  const auto& tray = Model().tray;
  if (index >= tray.size() || out == nullptr) return 0;
  const NOTIFYICONDATAA& data = tray[index].data;
  *out = LayerTraySnapshot{};
  out->owner = IdOf(data.hWnd);
  out->icon_id = data.uID;
  out->icon = data.hIcon;
  CopyText(std::string_view(data.szTip, strnlen(data.szTip, sizeof data.szTip)), out->tip, sizeof out->tip);
  return 1;
}

int IconImage(const void* icon, LayerIconPicture* out) {
  LayerIconImage image;
  if (out == nullptr || !LayerIconInfo(static_cast<HICON>(const_cast<void*>(icon)), &image)) return 0;
  *out = LayerIconPicture{image.width, image.height, image.pixels, image.palette};
  return 1;
}

int PumpMessage() {
  MSG msg;
  BOOL got = GetMessageA(&msg, nullptr, 0, 0);
  if (got == 0) {
    PostQuitMessage(static_cast<int>(msg.wParam));  // the outer loop ends too
    return 0;
  }
  if (got < 0) return -1;
  TranslateMessage(&msg);
  DispatchMessageA(&msg);
  return 1;
}

}  // namespace

const LayerViewHost& ViewHost() {
  static const LayerViewHost host = {
      .version = kLayerViewVersion,
      .size = sizeof(LayerViewHost),
      .window = WindowSnapshot,
      .window_text = WindowText,
      .item_text = ItemText,
      .tray_count = TrayCount,
      .tray_icon = TraySnapshot,
      .icon_image = IconImage,
      .typed = [](uint32_t id, const char* utf8, size_t size) -> int {
        return person::Typed(HandleOf(id), std::string_view(utf8, size));
      },
      .list_opened = [](uint32_t id) { person::ListOpened(HandleOf(id)); },
      .list_closed = [](uint32_t id, int picked) { person::ListClosed(HandleOf(id), picked != 0); },
      .item_picked = [](uint32_t id, int32_t index, int from_list) {
        person::ItemPicked(HandleOf(id), index, from_list != 0);
      },
      .clicked = [](uint32_t id) { person::Clicked(HandleOf(id)); },
      .scrolled = [](uint32_t id, int32_t code, int32_t position) { person::Scrolled(HandleOf(id), code, position); },
      .minimized = [](uint32_t id) { person::Minimized(HandleOf(id)); },
      .restored = [](uint32_t id) { person::Restored(HandleOf(id)); },
      .close_clicked = [](uint32_t id) { person::CloseClicked(HandleOf(id)); },
      .tray_clicked = [](uint32_t owner, uint32_t icon_id, uint32_t gesture) {
        person::TrayClicked(HandleOf(owner), icon_id, static_cast<LayerTrayGesture>(gesture));
      },
      .pump_message = PumpMessage,
      .wake_loop = [] { PostMessageA(nullptr, WM_NULL, 0, 0); },
  };
  return host;
}

}  // namespace layer
