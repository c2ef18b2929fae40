// Window classes, windows and the default window procedure.
#include <windows.h>

#include <algorithm>
#include <cstring>

#include "layer_control.h"
#include "layer_model.h"
#include "layer_view.h"

namespace layer {
namespace {

std::string LowerCase(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower;
}

void AddClass(const WNDCLASSA& info, std::string_view name, ControlKind kind, bool system,
              void (*init)(Window&) = nullptr) {
  auto& state = Model();
  WindowClass c;
  c.key = LowerCase(name);
  c.name = std::string(name);
  c.info = info;
  if (info.lpszMenuName != nullptr && !IS_INTRESOURCE(info.lpszMenuName)) c.menu_name = info.lpszMenuName;
  c.info.lpszClassName = nullptr;  // the strings are ours now
  c.info.lpszMenuName = nullptr;
  c.atom = state.next_atom++;
  c.kind = kind;
  c.system = system;
  c.init = init;
  state.classes.push_back(std::move(c));
}

void RegisterSystemClasses() {
  struct SystemClass {
    const char* name;
    WNDPROC proc;
    ControlKind kind;
  };
  static constexpr SystemClass kSystemClasses[] = {
      {"EDIT", EditProc, ControlKind::kEdit},
      {"COMBOBOX", ComboBoxProc, ControlKind::kComboBox},
      {"BUTTON", ButtonProc, ControlKind::kButton},
      {"SCROLLBAR", ScrollBarProc, ControlKind::kScrollBar},
      {"STATIC", StaticProc, ControlKind::kStatic},
  };
  for (const auto& c : kSystemClasses) {
    WNDCLASSA info{};
    info.lpfnWndProc = c.proc;
    AddClass(info, c.name, c.kind, true, InitControlState);
  }
}

WindowClass* FindClass(LPCSTR name) {
  auto& classes = Model().classes;
  // Every use of a class looks here first, and system classes are never
  // unregistered: an empty table is a fresh model that has not had them yet.
  if (classes.empty()) RegisterSystemClasses();
  if (name == nullptr) return nullptr;
  if (IS_INTRESOURCE(name)) {
    ATOM atom = LOWORD(reinterpret_cast<ULONG_PTR>(name));
    for (auto& c : classes)
      if (c.atom == atom) return &c;
    return nullptr;
  }
  std::string key = LowerCase(name);
  for (auto& c : classes)
    if (c.key == key) return &c;
  return nullptr;
}

// Sends WM_DESTROY to the window and then to its children, parents first.
void SendDestroy(uint32_t id) {
  if (FindId(id) == nullptr) return;
  SendMessageA(HandleOf(id), WM_DESTROY, 0, 0);
  Window* window = FindId(id);
  if (window == nullptr) return;
  std::vector<uint32_t> children = window->children;
  for (uint32_t child : children) SendDestroy(child);
}

// Frees the window after its children; WM_NCDESTROY is its last message.
void FreeWindow(uint32_t id) {
  Window* window = FindId(id);
  if (window == nullptr) return;
  std::vector<uint32_t> children = window->children;
  for (uint32_t child : children) FreeWindow(child);
  SendMessageA(HandleOf(id), WM_NCDESTROY, 0, 0);
  window = FindId(id);
  if (window == nullptr) return;
  auto& state = Model();
  if (Window* parent = FindId(window->parent)) {
    auto& siblings = parent->children;
    siblings.erase(std::remove(siblings.begin(), siblings.end(), id), siblings.end());
  }
  DropWindowTimers(id);
  DropWindowMessages(id);
  DropWindowWaitSources(id);
  state.windows.erase(id);
  CurrentView().WindowDestroyed(HandleOf(id));
}

void MarkDestroying(Window& window) {
  window.destroying = true;
  for (uint32_t child : window.children)
    if (Window* w = FindId(child)) MarkDestroying(*w);
}

}  // namespace

}  // namespace layer

using namespace layer;

ATOM WINAPI RegisterClassA(const WNDCLASSA* window_class) {
  if (window_class == nullptr || window_class->lpszClassName == nullptr ||
      window_class->lpfnWndProc == nullptr || IS_INTRESOURCE(window_class->lpszClassName) ||
      window_class->lpszClassName[0] == '\0' || window_class->cbClsExtra < 0 ||
      window_class->cbWndExtra < 0) {
    SetError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  WindowClass* existing = FindClass(window_class->lpszClassName);
  if (existing != nullptr && !existing->system) {
    SetError(ERROR_CLASS_ALREADY_EXISTS);
    return 0;
  }
  if (Model().next_atom == 0) {  // every atom has been given out
    SetError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
  AddClass(*window_class, window_class->lpszClassName, ControlKind::kNone, false);
  // An application class of a system class's name hides the system class.
  auto& classes = Model().classes;
  if (existing != nullptr) {
    WindowClass added = std::move(classes.back());
    classes.pop_back();
    classes.insert(classes.begin(), std::move(added));
    return classes.front().atom;
  }
  return classes.back().atom;
}

BOOL WINAPI UnregisterClassA(LPCSTR class_name, HINSTANCE) {
  WindowClass* c = FindClass(class_name);
  if (c == nullptr || c->system) {
    SetError(ERROR_CANNOT_FIND_WND_CLASS);
    return FALSE;
  }
  for (const auto& [id, window] : Model().windows) {
    if (window->class_key == c->key) {
      SetError(ERROR_CLASS_HAS_WINDOWS);
      return FALSE;
    }
  }
  auto& classes = Model().classes;
  classes.erase(classes.begin() + (c - classes.data()));
  return TRUE;
}

HWND WINAPI CreateWindowExA(DWORD ex_style, LPCSTR class_name, LPCSTR window_name, DWORD style,
                            int x, int y, int width, int height, HWND parent, HMENU menu,
                            HINSTANCE instance, LPVOID param) {
  auto& state = Model();
  WindowClass* window_class = FindClass(class_name);
  if (window_class == nullptr) {
    SetError(ERROR_CANNOT_FIND_WND_CLASS);
    return nullptr;
  }
  bool child = (style & WS_CHILD) != 0;
  Window* parent_window = nullptr;
  if (parent != nullptr) {
    parent_window = Find(parent);
    if (parent_window == nullptr || parent_window->destroying) {
      SetError(ERROR_INVALID_WINDOW_HANDLE);
      return nullptr;
    }
  } else if (child) {
    SetError(ERROR_TLW_WITH_WSCHILD);
    return nullptr;
  }

  auto window = std::make_unique<Window>();
  uint32_t id = state.next_window++;
  window->id = id;
  window->class_key = window_class->key;
  window->proc = window_class->info.lpfnWndProc;
  window->instance = instance;
  window->style = style & ~static_cast<DWORD>(WS_VISIBLE);
  window->ex_style = ex_style;
  window->text = window_name != nullptr ? window_name : "";
  if (x == CW_USEDEFAULT) x = y = 0;
  if (width == CW_USEDEFAULT) {
    width = child ? 0 : 640;
    height = child ? 0 : 480;
  }
  window->x = x;
  window->y = y;
  window->width = std::max(width, 0);
  window->height = std::max(height, 0);
  window->minimized = (style & WS_MINIMIZE) != 0;
  window->maximized = !window->minimized && (style & WS_MAXIMIZE) != 0;
  window->enabled = (style & WS_DISABLED) == 0;
  window->kind = window_class->kind;
  if (child) {
    window->parent = parent_window->id;
    window->control_id = static_cast<UINT>(reinterpret_cast<UINT_PTR>(menu));
  } else if (parent_window != nullptr) {
    window->owner = parent_window->id;
  }
  if (window_class->init != nullptr) window_class->init(*window);
  state.windows.emplace(id, std::move(window));
  if (child) parent_window->children.push_back(id);

  HWND hwnd = HandleOf(id);
  CREATESTRUCTA create{param,      instance,    menu, parent, height, width, y, x,
                       static_cast<LONG>(style), window_name, class_name, ex_style};
  if (SendMessageA(hwnd, WM_NCCREATE, 0, reinterpret_cast<LPARAM>(&create)) == 0) {
    if (Find(hwnd) != nullptr) {
      MarkDestroying(*Find(hwnd));
      FreeWindow(id);
    }
    return nullptr;
  }
  if (Find(hwnd) == nullptr) return nullptr;
  if (SendMessageA(hwnd, WM_CREATE, 0, reinterpret_cast<LPARAM>(&create)) == -1) {
    if (Find(hwnd) != nullptr) DestroyWindow(hwnd);
    return nullptr;
  }
  Window* created = Find(hwnd);
  if (created == nullptr || created->destroying) return nullptr;
  if (style & WS_VISIBLE) {
    SendMessageA(hwnd, WM_SHOWWINDOW, TRUE, 0);
    if (Window* shown = Find(hwnd)) {
      shown->visible = true;
      shown->style |= WS_VISIBLE;
    }
  }
  CurrentView().WindowChanged(hwnd);
  return Find(hwnd) != nullptr ? hwnd : nullptr;
}

BOOL WINAPI DestroyWindow(HWND hwnd) {
  Window* window = Find(hwnd);
  if (window == nullptr) {
    SetError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  if (window->destroying) return TRUE;  // already on its way out
  uint32_t id = window->id;
  // Windows it owns go first, whole.
  std::vector<uint32_t> owned;
  for (const auto& [other, w] : Model().windows)
    if (w->owner == id && !w->destroying) owned.push_back(other);
  for (uint32_t other : owned)
    if (FindId(other) != nullptr) DestroyWindow(HandleOf(other));
  window = FindId(id);
  if (window == nullptr || window->destroying) return TRUE;
  MarkDestroying(*window);
  window->visible = false;
  window->style &= ~static_cast<DWORD>(WS_VISIBLE);
  SendDestroy(id);
  FreeWindow(id);
  return TRUE;
}

LRESULT WINAPI DefWindowProcA(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  Window* window = Find(hwnd);
  if (window == nullptr) {
    SetError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  switch (message) {
    case WM_NCCREATE:
      return TRUE;
    case WM_CLOSE:
      DestroyWindow(hwnd);
      return 0;
    case WM_SYSCOMMAND:
      switch (wParam & 0xFFF0) {
        case SC_CLOSE:
          SendMessageA(hwnd, WM_CLOSE, 0, 0);
          break;
        case SC_MINIMIZE:
          ShowWindow(hwnd, SW_MINIMIZE);
          break;
        case SC_MAXIMIZE:
          ShowWindow(hwnd, SW_MAXIMIZE);
          break;
        case SC_RESTORE:
          ShowWindow(hwnd, SW_RESTORE);
          break;
        default:
          break;
      }
      return 0;
    case WM_GETTEXT: {
      auto* buffer = reinterpret_cast<char*>(lParam);
      if (buffer == nullptr || wParam == 0) return 0;
      size_t count = std::min<size_t>(window->text.size(), wParam - 1);
      std::memcpy(buffer, window->text.data(), count);
      buffer[count] = '\0';
      return static_cast<LRESULT>(count);
    }
    case WM_GETTEXTLENGTH:
      return static_cast<LRESULT>(window->text.size());
    case WM_SETTEXT: {
      const auto* text = reinterpret_cast<const char*>(lParam);
      SetWindowTextInternal(*window, text != nullptr ? text : "");
      return TRUE;
    }
    default:
      return 0;
  }
}

BOOL WINAPI ShowWindow(HWND hwnd, int show_command) {
  Window* window = Find(hwnd);
  if (window == nullptr) {
    SetError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  if (show_command < SW_HIDE || show_command > SW_MAX) {
    SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  bool was_visible = window->visible;
  bool visible = true;
  bool minimized = window->minimized;
  bool maximized = window->maximized;
  switch (show_command) {
    case SW_HIDE:
      visible = false;
      break;
    case SW_SHOWNORMAL:
    case SW_SHOWNOACTIVATE:
    case SW_RESTORE:
    case SW_SHOWDEFAULT:  // no start-up information here: as SW_SHOWNORMAL
      minimized = maximized = false;
      break;
    case SW_SHOWMINIMIZED:
    case SW_MINIMIZE:
    case SW_SHOWMINNOACTIVE:
    case SW_FORCEMINIMIZE:
      minimized = true;
      maximized = false;
      break;
    case SW_SHOWMAXIMIZED:
      minimized = false;
      maximized = true;
      break;
    case SW_SHOW:
    case SW_SHOWNA:
      break;
  }
  uint32_t id = window->id;
  window->last_show = show_command;
  if (visible != was_visible) {
    SendMessageA(hwnd, WM_SHOWWINDOW, visible ? TRUE : FALSE, 0);
    window = FindId(id);
    if (window == nullptr) return was_visible ? TRUE : FALSE;
    window->visible = visible;
    if (visible)
      window->style |= WS_VISIBLE;
    else
      window->style &= ~static_cast<DWORD>(WS_VISIBLE);
  }
  if (minimized != window->minimized || maximized != window->maximized) {
    window->minimized = minimized;
    window->maximized = maximized;
    WPARAM size_type = minimized ? SIZE_MINIMIZED : maximized ? SIZE_MAXIMIZED : SIZE_RESTORED;
    LPARAM size = minimized ? 0 : MAKELPARAM(window->width, window->height);
    SendMessageA(hwnd, WM_SIZE, size_type, size);
  }
  CurrentView().WindowChanged(hwnd);
  return was_visible ? TRUE : FALSE;
}

BOOL WINAPI UpdateWindow(HWND hwnd) {
  if (Find(hwnd) == nullptr) {
    SetError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  return TRUE;  // nothing is painted without a view
}

BOOL WINAPI IsWindow(HWND hwnd) { return Find(hwnd) != nullptr ? TRUE : FALSE; }

BOOL WINAPI IsWindowVisible(HWND hwnd) {
  for (Window* window = Find(hwnd); window != nullptr; window = FindId(window->parent)) {
    if (!window->visible) return FALSE;
    if (window->parent == 0) return TRUE;
  }
  return FALSE;
}

BOOL WINAPI IsIconic(HWND hwnd) {
  Window* window = Find(hwnd);
  return window != nullptr && window->minimized ? TRUE : FALSE;
}

BOOL WINAPI IsZoomed(HWND hwnd) {
  Window* window = Find(hwnd);
  return window != nullptr && window->maximized ? TRUE : FALSE;
}

HWND WINAPI GetParent(HWND hwnd) {
  Window* window = Find(hwnd);
  if (window == nullptr) {
    SetError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  uint32_t parent = window->parent != 0 ? window->parent : window->owner;
  return FindId(parent) != nullptr ? HandleOf(parent) : nullptr;
}

HWND WINAPI GetDlgItem(HWND dialog, int id) {
  Window* window = Find(dialog);
  if (window == nullptr) {
    SetError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  for (uint32_t child : window->children) {
    Window* c = FindId(child);
    if (c != nullptr && c->control_id == static_cast<UINT>(id)) return HandleOf(child);
  }
  SetError(ERROR_CONTROL_ID_NOT_FOUND);
  return nullptr;
}

int WINAPI GetDlgCtrlID(HWND hwnd) {
  Window* window = Find(hwnd);
  if (window == nullptr) {
    SetError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  return static_cast<int>(window->control_id);
}

BOOL WINAPI SetWindowTextA(HWND hwnd, LPCSTR text) {
  if (Find(hwnd) == nullptr) {
    SetError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  return SendMessageA(hwnd, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text)) != 0 ? TRUE : FALSE;
}

int WINAPI GetWindowTextA(HWND hwnd, LPSTR buffer, int max_count) {
  if (buffer != nullptr && max_count > 0) buffer[0] = '\0';
  if (Find(hwnd) == nullptr) {
    SetError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  if (buffer == nullptr || max_count <= 0) return 0;
  return static_cast<int>(SendMessageA(hwnd, WM_GETTEXT, static_cast<WPARAM>(max_count),
                                       reinterpret_cast<LPARAM>(buffer)));
}

int WINAPI GetWindowTextLengthA(HWND hwnd) {
  if (Find(hwnd) == nullptr) {
    SetError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  return static_cast<int>(SendMessageA(hwnd, WM_GETTEXTLENGTH, 0, 0));
}

BOOL WINAPI EnableWindow(HWND hwnd, BOOL enable) {
  Window* window = Find(hwnd);
  if (window == nullptr) {
    SetError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  bool was_disabled = !window->enabled;
  if (window->enabled != (enable != FALSE)) {
    window->enabled = enable != FALSE;
    CurrentView().WindowChanged(hwnd);
    SendMessageA(hwnd, WM_ENABLE, enable ? TRUE : FALSE, 0);
  }
  return was_disabled ? TRUE : FALSE;
}

BOOL WINAPI IsWindowEnabled(HWND hwnd) {
  Window* window = Find(hwnd);
  return window != nullptr && window->enabled ? TRUE : FALSE;
}

int LayerShowCommand(HWND hwnd) {
  Window* window = Find(hwnd);
  return window != nullptr ? window->last_show : -1;
}
