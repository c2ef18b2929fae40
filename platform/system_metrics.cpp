// GetSystemMetrics: what the view reports about the screens.
#include <windows.h>

#include "layer_view.h"

int WINAPI GetSystemMetrics(int index) {
  switch (index) {
    case SM_CMONITORS: return layer::CurrentView().MonitorCount();
    default: return 0;
  }
}
