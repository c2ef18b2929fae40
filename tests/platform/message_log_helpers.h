// A window class that writes down every message it receives, and the tables
// the tests compare that record with, step by step.
#pragma once

#include <windows.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "layer_control.h"

namespace platformtest {

inline constexpr const char* kLoggedClass = "LoggedWindow";

struct LoggedMessage {
  HWND hwnd;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
};

// One expected message; the window and wParam are compared only when given.
struct Expected {
  UINT message;
  HWND hwnd = nullptr;
  std::optional<WPARAM> wParam = std::nullopt;
};

std::vector<LoggedMessage>& Log();

// Lets a test answer a message itself; no value means DefWindowProcA.
using Handler = std::function<std::optional<LRESULT>(HWND, UINT, WPARAM, LPARAM)>;
void SetHandler(Handler handler);

// Compares the messages logged since the last step with `expected`, in
// order, then starts the next step.
void ExpectMessages(const std::vector<Expected>& expected, const std::string& step);

HWND CreateLogged(DWORD style = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, HWND parent = nullptr, int id = 0);

// Dispatches whatever PeekMessageA hands out now; returns how many.
int PumpOnce();

std::string MessageName(UINT message);

// A deadline for a test that waits in the real loop: once it has passed,
// close requests keep coming until the loop gives up, so a fault shows as a
// failed expectation instead of a hang.
class Watchdog {
 public:
  explicit Watchdog(std::chrono::milliseconds deadline);
  ~Watchdog();
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;
  bool fired() const { return fired_; }

 private:
  std::atomic<bool> done_{false};
  std::atomic<bool> fired_{false};
  std::thread thread_;
};

// Every test starts from an empty layer with the logging class registered.
class LayerTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
};

}  // namespace platformtest
