// The program's two icons, drawn here since the program has no resource file.
#pragma once

#include "layer_control.h"

namespace layer {

// Index of the named icon resource ("TEST_ICON", "TESTM_ICON"; names are
// matched without regard to case, as resource names are), -1 if unknown.
int ProgramIconIndex(const char* name);
bool ProgramIconImage(int index, LayerIconImage* image);

}  // namespace layer
