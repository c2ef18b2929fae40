// Drives the application in-process the way Windows would: messages through
// SendMessageA/PostMessageA, pumping with PeekMessageA, the layer's fake clock.
#pragma once

#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <windows.h>

#include "test_support.h"

// Every test starts with a fresh layer and fresh application globals, in an
// empty current folder holding the TEMP folder and the wallpaper store.
class AppTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Writes skerrow.cnf (none when `configuration` is null) and starts the
  // program as WinMain does, without its loop.
  void Start(const char* configuration, int show_command = SW_SHOWDEFAULT);

  std::string Here(const std::string& name) const { return dir_ / name; }
  // The program's private work folder, with its separator.
  static std::string WorkFolder();

  testsupport::TempDir dir_;
  std::string temp_;        // the TEMP folder, with no trailing separator
  std::string saved_cwd_;
  std::string saved_temp_;
  bool had_temp_ = false;
};

// The application's globals as a fresh start has them.
void ResetApplicationGlobals();

// Dispatches what is posted and what timers are due; true when WM_QUIT was
// seen, its code in *quit_code.
bool Pump(WPARAM* quit_code = nullptr);
// Moves the fake clock on and pumps.
void Advance(int ms);
// WM_COMMAND to MainWindow, as a control or the program would send it.
void Command(int id, int code = 0);
// Clears CurrentUrl, moves the clock on and tells whether a rotation
// fetched something meanwhile (it leaves CurrentUrl non-empty).
bool RotatesWithin(int ms);

std::vector<std::string> ListEntries();
std::string ControlText(int id);         // raw CP932 bytes
std::string ControlTextUtf8(int id);     // as a person sees it
int ScrollPosition();
int ProxyChecked();
int MessageBoxCount();
// Makes a line of `length` bytes that starts with `prefix`.
std::string LongLine(const std::string& prefix, std::size_t length);
