// The system control classes. Their state lives in the window's model entry;
// requests change it without notifying the parent, as on Windows. Only what
// stands for a user's action (BM_CLICK) notifies.
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <strings.h>

#include "layer_model.h"
#include "layer_view.h"

namespace layer {
namespace {

std::string_view TextArgument(LPARAM lParam) {
  const auto* text = reinterpret_cast<const char*>(lParam);
  return text != nullptr ? std::string_view(text) : std::string_view();
}

// Edit fields cut what does not fit their limit.
void SetLimitedText(Window& window, std::string_view text) {
  if (window.text_limit != 0 && text.size() > window.text_limit) text = text.substr(0, window.text_limit);
  SetWindowTextInternal(window, text);
}

LRESULT LimitText(Window& window, WPARAM limit) {
  window.text_limit = limit == 0 ? 0x7FFFFFFE : static_cast<size_t>(limit);
  return 0;
}

void Changed(Window& window) { CurrentView().WindowChanged(HandleOf(window.id)); }

bool ValidIndex(const Window& window, WPARAM index) {
  return static_cast<int>(index) >= 0 && static_cast<size_t>(static_cast<int>(index)) < window.items.size();
}

// Where CB_ADDSTRING puts a string: the end, or its place in a sorted list.
size_t AddPosition(const Window& window, std::string_view text) {
  if ((window.style & CBS_SORT) == 0) return window.items.size();
  std::string key(text);
  size_t position = 0;
  while (position < window.items.size() && strcasecmp(window.items[position].c_str(), key.c_str()) <= 0)
    ++position;
  return position;
}

LRESULT InsertItem(Window& window, size_t position, std::string_view text) {
  if (window.items.size() >= static_cast<size_t>(INT32_MAX)) return CB_ERRSPACE;
  window.items.insert(window.items.begin() + static_cast<ptrdiff_t>(position), std::string(text));
  window.item_data.insert(window.item_data.begin() + static_cast<ptrdiff_t>(position), 0);
  if (window.selection >= static_cast<int>(position)) ++window.selection;
  Changed(window);
  return static_cast<LRESULT>(position);
}

LRESULT FindItem(const Window& window, WPARAM start, LPARAM lParam, bool exact) {
  std::string_view wanted = TextArgument(lParam);
  size_t count = window.items.size();
  if (count == 0) return CB_ERR;
  size_t first = ValidIndex(window, start) ? static_cast<size_t>(start) + 1 : 0;
  for (size_t n = 0; n < count; ++n) {
    const std::string& item = window.items[(first + n) % count];
    bool match = exact ? item.size() == wanted.size() && strncasecmp(item.data(), wanted.data(), item.size()) == 0
                       : item.size() >= wanted.size() && strncasecmp(item.data(), wanted.data(), wanted.size()) == 0;
    if (match) return static_cast<LRESULT>((first + n) % count);
  }
  return CB_ERR;
}

LRESULT SetSelection(Window& window, WPARAM index) {
  if (!ValidIndex(window, index)) {
    window.selection = -1;
    SetLimitedText(window, "");
    return CB_ERR;
  }
  window.selection = static_cast<int>(index);
  SetLimitedText(window, window.items[index]);
  return static_cast<LRESULT>(index);
}

ScrollState* ScrollOf(Window& window, int bar) {
  switch (bar) {
    case SB_CTL:
      return window.kind == ControlKind::kScrollBar ? &window.scroll[SB_CTL] : nullptr;
    case SB_HORZ:
      return (window.style & WS_HSCROLL) != 0 ? &window.scroll[SB_HORZ] : nullptr;
    case SB_VERT:
      return (window.style & WS_VSCROLL) != 0 ? &window.scroll[SB_VERT] : nullptr;
    default:
      return nullptr;
  }
}

int ClampedPosition(const ScrollState& scroll, int position) {
  return std::clamp(position, scroll.min, scroll.max);
}

}  // namespace

void Notify(const Window& window, WORD code) {
  HWND parent = HandleOf(window.parent);
  if (FindId(window.parent) == nullptr) return;
  SendMessageA(parent, WM_COMMAND, MAKEWPARAM(window.control_id, code),
               reinterpret_cast<LPARAM>(HandleOf(window.id)));
}

void InitControlState(Window& window) {
  switch (window.kind) {
    case ControlKind::kEdit:
      window.text_limit = kDefaultEditLimit;
      SetLimitedText(window, window.text);
      break;
    case ControlKind::kComboBox:
      window.text_limit = kDefaultEditLimit;
      window.text.clear();  // the creation text is not the edit field's
      break;
    case ControlKind::kScrollBar:
      window.scroll[SB_CTL] = ScrollState{};
      break;
    default:
      break;
  }
}

LRESULT CALLBACK EditProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  Window* window = Find(hwnd);
  if (window == nullptr) return DefWindowProcA(hwnd, message, wParam, lParam);
  switch (message) {
    case WM_SETTEXT:
      SetLimitedText(*window, TextArgument(lParam));
      return TRUE;
    case EM_LIMITTEXT:
      return LimitText(*window, wParam);
    case EM_GETLIMITTEXT:
      return static_cast<LRESULT>(window->text_limit);
    default:
      return DefWindowProcA(hwnd, message, wParam, lParam);
  }
}

LRESULT CALLBACK ComboBoxProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  Window* window = Find(hwnd);
  if (window == nullptr) return DefWindowProcA(hwnd, message, wParam, lParam);
  Window& combo = *window;
  switch (message) {
    case WM_SETTEXT:
      SetLimitedText(combo, TextArgument(lParam));
      return TRUE;
    case CB_LIMITTEXT:
      return LimitText(combo, wParam) == 0 ? TRUE : FALSE;
    case CB_ADDSTRING:
      return InsertItem(combo, AddPosition(combo, TextArgument(lParam)), TextArgument(lParam));
    case CB_INSERTSTRING: {
      int index = static_cast<int>(wParam);
      if (index == -1) return InsertItem(combo, combo.items.size(), TextArgument(lParam));
      if (index < -1 || static_cast<size_t>(index) > combo.items.size()) return CB_ERR;
      return InsertItem(combo, static_cast<size_t>(index), TextArgument(lParam));
    }
    case CB_DELETESTRING: {
      if (!ValidIndex(combo, wParam)) return CB_ERR;
      int index = static_cast<int>(wParam);
      combo.items.erase(combo.items.begin() + index);
      combo.item_data.erase(combo.item_data.begin() + index);
      if (combo.selection == index)
        combo.selection = -1;
      else if (combo.selection > index)
        --combo.selection;
      Changed(combo);
      return static_cast<LRESULT>(combo.items.size());
    }
    case CB_RESETCONTENT:
      combo.items.clear();
      combo.item_data.clear();
      combo.selection = -1;
      Changed(combo);
      return CB_OKAY;
    case CB_GETCOUNT:
      return static_cast<LRESULT>(combo.items.size());
    case CB_GETCURSEL:
      return combo.selection;
    case CB_SETCURSEL:
      return SetSelection(combo, wParam);
    case CB_SELECTSTRING: {
      LRESULT found = FindItem(combo, wParam, lParam, false);
      if (found == CB_ERR) return CB_ERR;
      return SetSelection(combo, static_cast<WPARAM>(found));
    }
    case CB_FINDSTRING:
      return FindItem(combo, wParam, lParam, false);
    case CB_FINDSTRINGEXACT:
      return FindItem(combo, wParam, lParam, true);
    case CB_GETLBTEXTLEN:
      if (!ValidIndex(combo, wParam)) return CB_ERR;
      return static_cast<LRESULT>(combo.items[wParam].size());
    case CB_GETLBTEXT: {
      // The caller sizes the buffer from CB_GETLBTEXTLEN, as on Windows.
      if (!ValidIndex(combo, wParam)) return CB_ERR;
      auto* buffer = reinterpret_cast<char*>(lParam);
      const std::string& item = combo.items[wParam];
      if (buffer == nullptr) return CB_ERR;
      std::memcpy(buffer, item.c_str(), item.size() + 1);
      return static_cast<LRESULT>(item.size());
    }
    case CB_GETITEMDATA:
      if (!ValidIndex(combo, wParam)) return CB_ERR;
      return combo.item_data[wParam];
    case CB_SETITEMDATA:
      if (!ValidIndex(combo, wParam)) return CB_ERR;
      combo.item_data[wParam] = lParam;
      return CB_OKAY;
    case CB_SHOWDROPDOWN:
      combo.dropped = wParam != 0;
      Changed(combo);
      return TRUE;
    case CB_GETDROPPEDSTATE:
      return combo.dropped ? TRUE : FALSE;
    default:
      return DefWindowProcA(hwnd, message, wParam, lParam);
  }
}

LRESULT CALLBACK ButtonProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  Window* window = Find(hwnd);
  if (window == nullptr) return DefWindowProcA(hwnd, message, wParam, lParam);
  Window& button = *window;
  DWORD type = button.style & BS_TYPEMASK;
  bool checkable = type == BS_CHECKBOX || type == BS_AUTOCHECKBOX || type == BS_RADIOBUTTON ||
                   type == BS_3STATE || type == BS_AUTO3STATE || type == BS_AUTORADIOBUTTON;
  bool three_state = type == BS_3STATE || type == BS_AUTO3STATE;
  switch (message) {
    case BM_GETCHECK:
      return checkable ? button.check : BST_UNCHECKED;
    case BM_SETCHECK:
      if (checkable) {
        WPARAM highest = three_state ? BST_INDETERMINATE : BST_CHECKED;
        button.check = static_cast<int>(std::min(wParam & 3, highest));
        Changed(button);
      }
      return 0;
    case BM_GETSTATE:
      return (checkable ? button.check : 0) | (button.pushed ? BST_PUSHED : 0);
    case BM_SETSTATE:
      button.pushed = wParam != 0;
      Changed(button);
      return 0;
    case BM_CLICK: {
      // A click by the user: automatic kinds change their own state first,
      // a plain check box leaves that to its parent.
      if (!button.enabled) return 0;
      if (type == BS_AUTOCHECKBOX) button.check = button.check == BST_CHECKED ? BST_UNCHECKED : BST_CHECKED;
      if (type == BS_AUTO3STATE) button.check = (button.check + 1) % 3;
      if (type == BS_AUTORADIOBUTTON) button.check = BST_CHECKED;
      Changed(button);
      Notify(button, BN_CLICKED);
      return 0;
    }
    default:
      return DefWindowProcA(hwnd, message, wParam, lParam);
  }
}

LRESULT CALLBACK ScrollBarProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  Window* window = Find(hwnd);
  if (window == nullptr) return DefWindowProcA(hwnd, message, wParam, lParam);
  ScrollState& scroll = window->scroll[SB_CTL];
  switch (message) {
    case SBM_SETPOS: {
      int previous = scroll.pos;
      scroll.pos = ClampedPosition(scroll, static_cast<int>(wParam));
      Changed(*window);
      return previous;
    }
    case SBM_GETPOS:
      return scroll.pos;
    case SBM_SETRANGE:
    case SBM_SETRANGEREDRAW: {
      int previous = scroll.pos;
      int low = static_cast<int>(wParam);
      int high = static_cast<int>(lParam);
      if (static_cast<int64_t>(high) - low > INT32_MAX) return FALSE;
      scroll.min = low;
      scroll.max = std::max(low, high);
      scroll.pos = ClampedPosition(scroll, scroll.pos);
      Changed(*window);
      return previous;
    }
    case SBM_GETRANGE:
      if (auto* low = reinterpret_cast<int*>(wParam)) *low = scroll.min;
      if (auto* high = reinterpret_cast<int*>(lParam)) *high = scroll.max;
      return 0;
    default:
      return DefWindowProcA(hwnd, message, wParam, lParam);
  }
}

LRESULT CALLBACK StaticProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  return DefWindowProcA(hwnd, message, wParam, lParam);
}

}  // namespace layer

using namespace layer;

int WINAPI SetScrollPos(HWND hwnd, int bar, int position, BOOL) {
  Window* window = Find(hwnd);
  if (window == nullptr) {
    SetError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  ScrollState* scroll = ScrollOf(*window, bar);
  if (scroll == nullptr) {
    SetError(ERROR_NO_SCROLLBARS);
    return 0;
  }
  int previous = scroll->pos;
  scroll->pos = ClampedPosition(*scroll, position);
  Changed(*window);
  return previous;
}

int WINAPI GetScrollPos(HWND hwnd, int bar) {
  Window* window = Find(hwnd);
  if (window == nullptr) {
    SetError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  ScrollState* scroll = ScrollOf(*window, bar);
  if (scroll == nullptr) {
    SetError(ERROR_NO_SCROLLBARS);
    return 0;
  }
  return scroll->pos;
}

BOOL WINAPI SetScrollRange(HWND hwnd, int bar, int min_position, int max_position, BOOL) {
  Window* window = Find(hwnd);
  if (window == nullptr) {
    SetError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  ScrollState* scroll = ScrollOf(*window, bar);
  if (scroll == nullptr) {
    SetError(ERROR_NO_SCROLLBARS);
    return FALSE;
  }
  if (static_cast<int64_t>(max_position) - min_position > INT32_MAX) {
    SetError(ERROR_INVALID_SCROLLBAR_RANGE);
    return FALSE;
  }
  scroll->min = min_position;
  scroll->max = std::max(min_position, max_position);
  scroll->pos = ClampedPosition(*scroll, scroll->pos);
  Changed(*window);
  return TRUE;
}

BOOL WINAPI GetScrollRange(HWND hwnd, int bar, LPINT min_position, LPINT max_position) {
  Window* window = Find(hwnd);
  if (window == nullptr) {
    SetError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  ScrollState* scroll = ScrollOf(*window, bar);
  if (scroll == nullptr || min_position == nullptr || max_position == nullptr) {
    SetError(scroll == nullptr ? ERROR_NO_SCROLLBARS : ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *min_position = scroll->min;
  *max_position = scroll->max;
  return TRUE;
}
