// The layer's model: windows with their controls' state, classes, the posted
// queue, timers and the notification area. Only the layer's own files see
// it: application code goes through the Windows calls, a person's actions
// through controls_port.h, and the desktop view module gets copies through
// its table (layer_view_host.h), never this layout.
#pragma once

#include <windows.h>

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace layer {

enum class ControlKind { kNone, kEdit, kComboBox, kButton, kScrollBar, kStatic };

struct ScrollState {
  int min = 0;
  int max = 100;
  int pos = 0;
};

struct Window {
  uint32_t id = 0;
  std::string class_key;  // lower-case class name
  WNDPROC proc = nullptr;
  HINSTANCE instance = nullptr;
  uint32_t parent = 0;  // child windows only
  uint32_t owner = 0;   // top-level windows only
  UINT control_id = 0;
  DWORD style = 0;
  DWORD ex_style = 0;
  std::string text;
  int x = 0, y = 0, width = 0, height = 0;
  bool visible = false;
  bool minimized = false;
  bool maximized = false;
  bool enabled = true;
  bool destroying = false;
  int last_show = -1;
  std::vector<uint32_t> children;  // in creation order

  ControlKind kind = ControlKind::kNone;
  size_t text_limit = 0;  // edit fields; 0 for no limit
  std::vector<std::string> items;  // combo box list
  std::vector<LPARAM> item_data;
  int selection = -1;
  bool dropped = false;
  int check = BST_UNCHECKED;
  bool pushed = false;
  ScrollState scroll[3];  // SB_HORZ, SB_VERT, SB_CTL
};

struct WindowClass {
  std::string key;   // lower-case name
  std::string name;  // as registered
  std::string menu_name;
  WNDCLASSA info{};
  ATOM atom = 0;
  ControlKind kind = ControlKind::kNone;
  bool system = false;
  // Gives a new window of the class the state its kind starts with; system
  // classes only, so the window manager needs no knowledge of controls.
  void (*init)(Window&) = nullptr;
};

struct Timer {
  uint32_t window = 0;  // 0: a thread timer
  UINT_PTR id = 0;
  UINT period = 0;
  uint64_t deadline = 0;
  uint64_t order = 0;  // ties of equal deadlines go by order of setting
  TIMERPROC proc = nullptr;
};

struct TrayIcon {
  NOTIFYICONDATAA data{};
};

struct State {
  std::map<uint32_t, std::unique_ptr<Window>> windows;
  uint32_t next_window = 1;
  std::vector<WindowClass> classes;
  ATOM next_atom = 0xC000;
  std::deque<MSG> queue;
  bool quit_pending = false;
  int quit_code = 0;
  std::vector<Timer> timers;
  uint64_t timer_order = 0;
  UINT_PTR next_thread_timer = 1;
  std::vector<TrayIcon> tray;  // in order of adding
};

State& Model();
// Tells the view every window is gone and empties the model; the system
// classes come back with the next look at the class table.
void ResetModel();

// The posted queue holds at most this many messages, as on Windows.
inline constexpr size_t kQueueLimit = 10000;
// Edit fields take this many characters unless told otherwise.
inline constexpr size_t kDefaultEditLimit = 30000;

HWND HandleOf(uint32_t id);
uint32_t IdOf(HWND hwnd);      // 0 for a value that is no window handle
Window* Find(HWND hwnd);       // null when it names no live window
Window* FindId(uint32_t id);
bool IsDescendant(uint32_t id, uint32_t ancestor);  // or the same

void SetError(DWORD error);

// Text of a window as the layer stores it (controls keep theirs here too).
void SetWindowTextInternal(Window& window, std::string_view text);

// Per-class procedures of the system control classes.
LRESULT CALLBACK EditProc(HWND, UINT, WPARAM, LPARAM);
LRESULT CALLBACK ComboBoxProc(HWND, UINT, WPARAM, LPARAM);
LRESULT CALLBACK ButtonProc(HWND, UINT, WPARAM, LPARAM);
LRESULT CALLBACK ScrollBarProc(HWND, UINT, WPARAM, LPARAM);
LRESULT CALLBACK StaticProc(HWND, UINT, WPARAM, LPARAM);
void InitControlState(Window& window);  // the system classes' `init`
// A control tells its parent what the user did: WM_COMMAND with its id and
// `code`, sent at once. For the controls and the person's port only.
void Notify(const Window& control, WORD code);

// The message loop's side: the clock, dropping a window's timers and
// registrations, and forgetting everything on reset. Each room's reset is
// called from LayerReset alone.
uint64_t Now();
void DropWindowTimers(uint32_t id);
void DropWindowMessages(uint32_t id);
void ResetQueueAndTimers();
void ResetShell();
void ResetMenus();
void ResetInstanceChannel();
void ResetWaitSources();
void DropWindowWaitSources(uint32_t id);

// The registry's side: a REG_SZ value of a key under HKEY_CURRENT_USER, up
// to its first NUL, or nothing when there is no such string.
std::optional<std::string> UserStringValue(std::string_view key, std::string_view name);
void ResetRegistry();

// The desktop wallpaper object's side: pictures waiting for the loop's
// next turn and those shown, forgotten (the store's files stay).
void ResetDesktopWallpaper();

}  // namespace layer
