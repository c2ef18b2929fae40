// The one table between the program and its desktop view module. The module
// is built apart and loaded late, so nothing here may depend on the layer's
// own types: plain values and function pointers, texts in UTF-8, windows by
// id. A change to any struct below raises kLayerViewVersion; a module built
// for another version refuses to start and the program runs headless.
#pragma once

#include <stddef.h>
#include <stdint.h>

struct pollfd;

inline constexpr uint32_t kLayerViewVersion = 2;

enum LayerViewKind : uint32_t {
  kLayerViewPlain = 0,  // a top-level window or a child of a registered class
  kLayerViewEdit,
  kLayerViewComboBox,
  kLayerViewButton,
  kLayerViewScrollBar,
  kLayerViewStatic,
};

// What a window shows, copied out of the model. Texts are fetched apart.
struct LayerWindowSnapshot {
  uint32_t id;
  uint32_t parent;  // 0 for a top-level window
  uint32_t kind;    // LayerViewKind
  uint32_t style;
  int32_t x, y, width, height;
  uint8_t visible, minimized, enabled, dropped;
  int32_t selection;  // combo boxes: -1 for none
  int32_t check;      // buttons: BST_ value
  uint32_t item_count;
  int32_t scroll_min, scroll_max, scroll_pos;
  const void* icon;  // top-level windows: their class icon, for icon_image
};

// One notification-area icon.
struct LayerTraySnapshot {
  uint32_t owner;    // window id
  uint32_t icon_id;  // the program's id for the icon
  const void* icon;  // for icon_image
  char tip[512];     // UTF-8, ended
};

// An icon's picture: 4-bit palette indexes a byte each, rows from the top,
// 16 colours as 0xRRGGBB. Valid until the program next runs.
struct LayerIconPicture {
  int32_t width, height;
  const uint8_t* pixels;
  const uint32_t* palette;
};

enum LayerTrayGesture : uint32_t {
  kLayerTrayClick = 0,
  kLayerTrayDoubleClick,
  kLayerTrayContextClick,
  kLayerTrayMiddleClick,
};

// One line of a popup menu. Submenus are flattened: the lines after a
// submenu's title, one deeper, are its items.
enum LayerMenuFlags : uint32_t {
  kLayerMenuSeparator = 1,
  kLayerMenuChecked = 2,
  kLayerMenuGrayed = 4,
  kLayerMenuRadio = 8,    // checked as one of a group
  kLayerMenuSubmenu = 16, // the title of the lines below it
};
struct LayerMenuEntry {
  uint32_t id;     // what choosing it returns; 0 for separators and titles
  uint32_t flags;  // LayerMenuFlags
  int32_t depth;
  const char* text;  // UTF-8, ended; valid during the call
};

// The program's side. Every action changes the model and sends what Windows
// sends, in Windows' order; the window may be gone when it returns.
struct LayerViewHost {
  uint32_t version;
  uint32_t size;  // sizeof(LayerViewHost) as the program knows it

  // Reading: false (or 0) when the id names no live window.
  int (*window)(uint32_t id, LayerWindowSnapshot* out);
  // The text into `buffer` (ended when it fits); returns the whole length.
  size_t (*window_text)(uint32_t id, char* buffer, size_t size);
  size_t (*item_text)(uint32_t id, uint32_t index, char* buffer, size_t size);
  uint32_t (*tray_count)(void);
  int (*tray_icon)(uint32_t index, LayerTraySnapshot* out);
  int (*icon_image)(const void* icon, LayerIconPicture* out);

  // What the person did.
  int (*typed)(uint32_t id, const char* utf8, size_t size);  // 0: refused, nothing sent
  void (*list_opened)(uint32_t id);
  void (*list_closed)(uint32_t id, int picked);
  void (*item_picked)(uint32_t id, int32_t index, int from_list);
  void (*clicked)(uint32_t id);
  void (*scrolled)(uint32_t id, int32_t code, int32_t position);
  void (*minimized)(uint32_t id);
  void (*restored)(uint32_t id);
  void (*close_clicked)(uint32_t id);
  void (*tray_clicked)(uint32_t owner, uint32_t icon_id, uint32_t gesture);

  // The program's loop, for a modal box: one message handled (1), the quit
  // message seen and put back (0), or nothing without waiting (-1).
  int (*pump_message)(void);
  void (*wake_loop)(void);
};

// The module's side, filled in by its entry point.
struct LayerViewModule {
  int (*show_message_box)(uint32_t owner, const char* caption, const char* text, uint32_t type,
                          int32_t default_answer);
  void (*window_changed)(uint32_t id);
  void (*window_destroyed)(uint32_t id);
  void (*tray_changed)(void);
  // The loop's one wait, as poll(2); the module handles its own events
  // within it.
  int (*wait)(struct pollfd* fds, size_t count, int timeout_ms);
  int (*monitor_count)(void);
  // A popup menu at (x, y) on the desktop, shown while the program's loop
  // runs (pump_message); the id chosen, 0 when dismissed.
  uint32_t (*track_menu)(const LayerMenuEntry* entries, size_t count, int32_t x, int32_t y);
  void (*cursor_position)(int32_t* x, int32_t* y);
  void (*close)(void);
};

enum LayerViewOpenResult : int32_t {
  kLayerViewOpened = 0,
  kLayerViewFailed,  // `reason` says why
};

// The module's only exported name. The host table must outlive the module.
#define LAYER_VIEW_ENTRY "SkerrowViewOpen"
extern "C" typedef int32_t (*LayerViewEntry)(const LayerViewHost* host, LayerViewModule* module,
                                             const char* program, const char** reason);
