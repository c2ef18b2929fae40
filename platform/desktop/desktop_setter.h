// A desktop setter: how the picture the wallpaper call stored reaches the
// desktop the user is running. One record per desktop, chosen once at
// start-up; every operation returns within about two seconds whatever the
// desktop does, and a failure is a reason in one line, never an exit.
#pragma once

#include <string>
#include <vector>

namespace layer {

// How a picture fills its screen, as the registry's desktop values name it
// when the wallpaper call runs. kKeep: no such values, so each desktop keeps
// the placement its user chose there (and the program's own renderings
// fill).
enum class WallpaperFit { kKeep, kFill, kFit, kStretch, kCenter, kTile, kSpan };
WallpaperFit ChosenFit();

// A monitor as the desktop lays it out: its place in desktop pixels and the
// name the desktop gives it (an output's connector, "HDMI-1"; RandR's
// monitor name where the desktop names none).
struct MonitorPlace {
  std::string name;
  int x = 0, y = 0, width = 0, height = 0;
};

// The stored bitmap for one monitor.
struct MonitorPicture {
  MonitorPlace monitor;
  std::string path;
};

struct DesktopSetter {
  // As SKERROW_DESKTOP spells it: "gnome", "kde", ..., "none".
  const char* name;
  // Whether this session offers what the setter needs (a display, a socket,
  // a command); looks at the environment only, so it is quick.
  bool (*can_run)();
  // Makes the bitmap at `path` the wallpaper, placed by `fit` in the
  // desktop's own terms. False with the reason in `why`. A path the desktop
  // keeps stays until the next change has been shown.
  bool (*show)(const char* path, WallpaperFit fit, std::string* why);
  // Whether the desktop goes back to the file by its name after show (it
  // keeps the path, and reads it again at its next start). Such a desktop
  // is told only once the copy is safely on disk under its final name; one
  // that has taken the pixels by the time show returns is given the
  // caller's file first, and the copy is made after.
  bool keeps_path;
  // The monitors, as this desktop orders and names them. Null: the X
  // server's RandR monitors (which XWayland offers too).
  bool (*list_monitors)(std::vector<MonitorPlace>* monitors, std::string* why);
  // A picture of its own on each monitor listed, each placed by `fit` on
  // its monitor. Null: the desktop has no setting per monitor, and the
  // layer shows one picture it lays out over all of them, spanned.
  bool (*show_each)(const std::vector<MonitorPicture>& pictures, WallpaperFit fit, std::string* why);
};

// The setter picked at start-up; the store alone until then.
const DesktopSetter& ChosenDesktop();

// The monitors the chosen desktop lists, or else the X server's RandR
// monitors through the module; false with the reason when neither answers.
bool ListMonitors(std::vector<MonitorPlace>* monitors, std::string* why);

// Setters built into the layer itself; those that need GIO or Xlib live in
// a module loaded only when the session asks for one of them.
extern const DesktopSetter kNoDesktop;
extern const DesktopSetter kLxqtDesktop;
extern const DesktopSetter kSwayDesktop;

}  // namespace layer

// What the module exports: its setter of that name, or null; and the X
// server's RandR monitors by their names (false with the reason).
extern "C" const layer::DesktopSetter* SkerrowDesktopSetter(const char* name);
extern "C" bool SkerrowListMonitors(std::vector<layer::MonitorPlace>* monitors, std::string* why);
