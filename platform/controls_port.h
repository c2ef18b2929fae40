// What a person does to the windows, controls and notification-area icons.
// A view reports each action here and nowhere else; every call changes the
// model first and then tells the program what Windows would tell it, in
// Windows' order. The program may destroy the window while it listens, so
// callers look the window up again afterwards.
#pragma once

#include <windows.h>

#include <string_view>

#include "layer_view_host.h"

namespace layer::person {

// Text typed into an edit field or a combo box's field, in UTF-8. False when
// the field cannot hold it (over its limit, or not in the ANSI code page):
// the model keeps its text and nothing is sent.
bool Typed(HWND control, std::string_view utf8);
// A combo box's list opens (CBN_DROPDOWN), or closes with or without an
// item picked from it (CBN_SELENDCANCEL when not, then CBN_CLOSEUP).
void ListOpened(HWND combo);
void ListClosed(HWND combo, bool picked);
// An item chosen from the open list, or by an arrow key in the closed box.
void ItemPicked(HWND combo, int index, bool from_list);
void Clicked(HWND button);
// A scroll request (SB_ code; the position for SB_THUMBTRACK and
// SB_THUMBPOSITION) to the bar's parent.
void Scrolled(HWND bar, int code, int position);
// The desktop's window buttons: the program decides what each means.
void Minimized(HWND window);
void Restored(HWND window);
void CloseClicked(HWND window);
// A notification-area icon clicked; false when it has no callback.
bool TrayClicked(HWND owner, UINT icon_id, LayerTrayGesture gesture);

}  // namespace layer::person

namespace layer {
// The table handed to the desktop view module: the port above and read-only
// snapshots of the model.
const LayerViewHost& ViewHost();
}  // namespace layer
