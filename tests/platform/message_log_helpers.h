// A window class that writes down every message it receives, and the tables
// the tests compare that record with, step by step.
#pragma once

#include <windows.h>

#include <functional>
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

// Every test starts from an empty layer with the logging class registered.
class LayerTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
};

}  // namespace platformtest
