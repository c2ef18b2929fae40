// LayerReset: every room of the layer forgets its state, in one place.
#include <windows.h>

#include "event_sources.h"
#include "layer_control.h"
#include "layer_model.h"
#include "layer_view.h"

using namespace layer;

void LayerReset() {
  ResetModel();
  ResetQueueAndTimers();
  ResetWaitSources();
  ResetShell();
  ResetMenus();
  ResetInstanceChannel();
  ResetSockets();
  ResetRegistry();
  ResetDesktopWallpaper();
  SetLastError(ERROR_SUCCESS);
  CurrentView().TrayChanged();
}
