// Which setter the program picks at start-up, from the session's
// environment or from SKERROW_DESKTOP, and the line that says so.
#include <gtest/gtest.h>

#include "desktop_helpers.h"

using namespace desktoptest;

namespace {

TEST(DesktopChoiceTest, TheSessionOrTheOverrideNamesTheSetter) {
  struct Row {
    const char* current_desktop;  // XDG_CURRENT_DESKTOP
    const char* session;          // DESKTOP_SESSION
    const char* sway_socket;
    const char* display;
    const char* requested;  // SKERROW_DESKTOP
    const char* said;
  } const rows[] = {
      {"ubuntu:GNOME", nullptr, nullptr, nullptr, nullptr, "desktop: gnome\n"},
      {"Budgie:GNOME", nullptr, nullptr, ":5", nullptr, "desktop: gnome\n"},
      {"X-Cinnamon", nullptr, nullptr, nullptr, nullptr, "desktop: cinnamon\n"},
      {"KDE", nullptr, nullptr, nullptr, nullptr, "desktop: kde\n"},
      {"Unheard-Of:xfce", nullptr, nullptr, nullptr, nullptr, "desktop: xfce\n"},
      {"", "plasma", nullptr, nullptr, nullptr, "desktop: kde\n"},
      {nullptr, "MATE", nullptr, ":5", nullptr, "desktop: mate\n"},
      {nullptr, "i3", "/run/sway.sock", ":5", nullptr, "desktop: sway\n"},
      {nullptr, "i3", nullptr, ":5", nullptr, "desktop: x11\n"},
      {nullptr, nullptr, nullptr, nullptr, nullptr, "desktop: none\n"},
      {"KDE", nullptr, nullptr, nullptr, "mate", "desktop: mate\n"},
      {"GNOME", nullptr, nullptr, ":5", "NONE", "desktop: none\n"},
      // A setter that cannot work here leaves the store alone, and says why.
      {"LXQt", nullptr, nullptr, nullptr, nullptr, "desktop: lxqt cannot run in this session\ndesktop: none\n"},
      {nullptr, nullptr, nullptr, nullptr, "x11", "desktop: x11 cannot run in this session\ndesktop: none\n"},
      {"GNOME", nullptr, nullptr, nullptr, "windows",
       "desktop: SKERROW_DESKTOP=windows names no desktop; guessing from the session\ndesktop: gnome\n"},
  };
  ScopedEnv path("PATH", "/nonexistent");  // no file manager to be found
  ScopedEnv wayland("WAYLAND_DISPLAY", "wayland-0");  // counts for nothing by itself
  for (const Row& row : rows) {
    ScopedEnv current("XDG_CURRENT_DESKTOP", row.current_desktop);
    ScopedEnv session("DESKTOP_SESSION", row.session);
    ScopedEnv sway("SWAYSOCK", row.sway_socket);
    ScopedEnv display("DISPLAY", row.display);
    EXPECT_EQ(ChooseDesktop(row.requested), row.said)
        << (row.current_desktop ? row.current_desktop : "-") << " " << (row.session ? row.session : "-");
  }
}

}  // namespace
