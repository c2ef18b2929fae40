// Runs the layer's real message loop in tests that wait for sockets or
// timers, with a deadline on every wait. Only for tests that link the
// Windows layer.
#pragma once

#include <windows.h>

#include <chrono>
#include <functional>

namespace testsupport {

// Dispatches messages until `done` holds or `ms` have passed. A thread
// timer keeps every wait short, so the deadline is checked even when
// nothing else arrives or the window has gone.
inline bool PumpUntil(const std::function<bool()>& done, int ms) {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  UINT_PTR timer = SetTimer(nullptr, 0, 10, nullptr);
  MSG msg;
  bool reached = done();
  while (!reached && std::chrono::steady_clock::now() < until && GetMessageA(&msg, nullptr, 0, 0) > 0) {
    DispatchMessageA(&msg);
    reached = done();
  }
  KillTimer(nullptr, timer);
  return reached;
}

inline void PumpFor(int ms) { PumpUntil([] { return false; }, ms); }

}  // namespace testsupport
