// The order pictures are shown in: folders of pictures standing for what
// they hold, the list's own order and the shuffled deck. Shared by the
// rotation and the configuration only.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

// <0, 0 or >0 as `a` comes before, is or comes after `b` with numbers
// inside names compared as numbers; a total order, so no two names tie.
int NaturalCompare(std::string_view a, std::string_view b);

// A file:// address that names a folder rather than one picture.
bool IsFolderAddress(std::string_view address);

// The text of list entry `index` of the combo box.
std::string EntryText(HWND box, int index);

// Puts the next address of the order in force into CurrentUrl; false when
// none can be had this step.
bool TakeNextAddress(HWND box);
