// Popup menus: built by the program item by item, shown by the view while
// the program's loop keeps running, the choice coming back as WM_COMMAND.
#include <windows.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "layer_control.h"
#include "layer_model.h"
#include "layer_view.h"

namespace layer {
namespace {

// Menu handles: numbers of their own range, never reused within a run.
constexpr uintptr_t kMenuBase = 0x00A40000;
// A program that never destroys its menus runs out here, not out of memory.
constexpr size_t kMenuLimit = 4096;
constexpr size_t kItemLimit = 256;

struct MenuItem {
  UINT flags = 0;
  UINT id = 0;
  HMENU submenu = nullptr;
  std::string text;
};
struct Menu {
  std::vector<MenuItem> items;
  bool owned = false;  // a submenu, destroyed with the menu that holds it
};

std::map<uintptr_t, Menu> menus;
uintptr_t next_menu = kMenuBase;
std::function<UINT(const std::vector<LayerMenuLine>&)> menu_answer;
bool menu_open = false;

Menu* Lookup(HMENU handle) {
  auto it = menus.find(reinterpret_cast<uintptr_t>(handle));
  return it != menus.end() ? &it->second : nullptr;
}

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

// The item a command id or position names, searched through submenus as
// Windows does for MF_BYCOMMAND.
MenuItem* ItemOf(Menu& menu, UINT item, UINT flags) {
  if ((flags & MF_BYPOSITION) != 0) return item < menu.items.size() ? &menu.items[item] : nullptr;
  for (MenuItem& entry : menu.items) {
    if ((entry.flags & MF_POPUP) != 0) {
      if (Menu* sub = Lookup(entry.submenu))
        if (MenuItem* found = ItemOf(*sub, item, flags)) return found;
    } else if ((entry.flags & MF_SEPARATOR) == 0 && entry.id == item) {
      return &entry;
    }
  }
  return nullptr;
}

void Flatten(const Menu& menu, int depth, std::vector<LayerMenuLine>& lines) {
  for (const MenuItem& item : menu.items) {
    lines.push_back(LayerMenuLine{(item.flags & MF_POPUP) != 0 ? 0u : item.id, item.flags, depth, item.text});
    if ((item.flags & MF_POPUP) == 0) continue;
    // A menu that holds itself, however deep, is shown once.
    if (const Menu* sub = Lookup(item.submenu); sub != nullptr && depth < 8) Flatten(*sub, depth + 1, lines);
  }
}

void Destroy(uintptr_t handle, int depth) {
  auto it = menus.find(handle);
  if (it == menus.end()) return;
  std::vector<MenuItem> items = std::move(it->second.items);
  menus.erase(it);
  if (depth >= 8) return;
  for (const MenuItem& item : items)
    if ((item.flags & MF_POPUP) != 0) Destroy(reinterpret_cast<uintptr_t>(item.submenu), depth + 1);
}

}  // namespace

void ResetMenus() {
  menus.clear();
  menu_answer = nullptr;
}

}  // namespace layer

using namespace layer;

void LayerAnswerMenus(std::function<UINT(const std::vector<LayerMenuLine>&)> choose) {
  menu_answer = std::move(choose);
}

extern "C" {

HMENU WINAPI CreatePopupMenu(void) {
  if (menus.size() >= kMenuLimit) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  uintptr_t handle = next_menu++;
  menus[handle] = Menu{};
  return reinterpret_cast<HMENU>(handle);
}

BOOL WINAPI AppendMenuA(HMENU handle, UINT flags, UINT_PTR id, LPCSTR text) {
  Menu* menu = Lookup(handle);
  if (menu == nullptr) return Fail(ERROR_INVALID_MENU_HANDLE);
  if (menu->items.size() >= kItemLimit) return Fail(ERROR_NOT_ENOUGH_MEMORY);
  MenuItem item;
  item.flags = flags;
  if ((flags & MF_POPUP) != 0) {
    Menu* sub = Lookup(reinterpret_cast<HMENU>(id));
    if (sub == nullptr || sub == menu || sub->owned) return Fail(ERROR_INVALID_MENU_HANDLE);
    sub->owned = true;
    item.submenu = reinterpret_cast<HMENU>(id);
  } else {
    item.id = static_cast<UINT>(id);
  }
  if ((flags & MF_SEPARATOR) == 0 && text != nullptr) item.text = text;
  menu->items.push_back(std::move(item));
  return TRUE;
}

DWORD WINAPI CheckMenuItem(HMENU handle, UINT item, UINT check) {
  Menu* menu = Lookup(handle);
  MenuItem* entry = menu != nullptr ? ItemOf(*menu, item, check) : nullptr;
  if (entry == nullptr) return static_cast<DWORD>(-1);
  DWORD before = entry->flags & MF_CHECKED;
  entry->flags = (entry->flags & ~MF_CHECKED) | (check & MF_CHECKED);
  return before;
}

BOOL WINAPI CheckMenuRadioItem(HMENU handle, UINT first, UINT last, UINT check, UINT flags) {
  Menu* menu = Lookup(handle);
  if (menu == nullptr) return Fail(ERROR_INVALID_MENU_HANDLE);
  bool found = false;
  for (UINT i = first; i <= last && i >= first; ++i) {
    MenuItem* entry = ItemOf(*menu, i, flags);
    if (entry == nullptr) continue;
    entry->flags &= ~MF_CHECKED;
    if (i == check) {
      entry->flags |= MF_CHECKED | MFT_RADIOCHECK;
      found = true;
    }
    if (i == last) break;
  }
  return found ? TRUE : Fail(ERROR_INVALID_PARAMETER);
}

BOOL WINAPI TrackPopupMenu(HMENU handle, UINT flags, int x, int y, int, HWND owner, const RECT*) {
  Menu* menu = Lookup(handle);
  if (menu == nullptr) return Fail(ERROR_INVALID_MENU_HANDLE);
  if (Find(owner) == nullptr) return Fail(ERROR_INVALID_WINDOW_HANDLE);
  // One menu at a time, as on Windows; a second request while one is open
  // is refused rather than stacked.
  if (menu_open) return Fail(ERROR_INVALID_PARAMETER);
  std::vector<LayerMenuLine> lines;
  Flatten(*menu, 0, lines);
  // The lines are copies: the program may change or destroy the menu from
  // whatever runs while it is open.
  menu_open = true;
  UINT chosen = menu_answer ? menu_answer(lines) : CurrentView().TrackMenu(lines, x, y);
  menu_open = false;
  bool offered = false;
  for (const LayerMenuLine& line : lines)
    if (chosen != 0 && line.id == chosen && (line.flags & (MF_GRAYED | MF_DISABLED | MF_SEPARATOR | MF_POPUP)) == 0)
      offered = true;
  if (!offered) chosen = 0;
  if ((flags & TPM_RETURNCMD) != 0) return static_cast<BOOL>(chosen);
  if (chosen != 0 && Find(owner) != nullptr) PostMessageA(owner, WM_COMMAND, MAKEWPARAM(chosen, 0), 0);
  return TRUE;
}

BOOL WINAPI DestroyMenu(HMENU handle) {
  if (Lookup(handle) == nullptr) return Fail(ERROR_INVALID_MENU_HANDLE);
  Destroy(reinterpret_cast<uintptr_t>(handle), 0);
  return TRUE;
}

BOOL WINAPI SetForegroundWindow(HWND hwnd) { return Find(hwnd) != nullptr ? TRUE : Fail(ERROR_INVALID_WINDOW_HANDLE); }

BOOL WINAPI GetCursorPos(LPPOINT point) {
  if (point == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  CurrentView().CursorPosition(&point->x, &point->y);
  return TRUE;
}

}  // extern "C"
