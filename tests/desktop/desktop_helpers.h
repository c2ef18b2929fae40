// What the desktop tests share: a private session bus with the real
// settings services behind it, a private X server, pictures drawn by Pillow,
// and the setter chosen as the program would at start-up.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "child_process.h"
#include "test_support.h"
#include "x_server.h"

namespace desktoptest {

// A program that runs in the background until the object goes (it and
// everything it started); started once it wrote a line to `line_fd`.
class BackgroundProgram : public testsupport::Child {
 public:
  BackgroundProgram(const std::vector<std::string>& argv, int line_fd);
  const std::string& line() const { return line_; }

 private:
  std::string line_;
};

// A session bus of our own, whose services (dconf, xfconfd) start on demand
// with their settings in a temporary folder. While it lives, the test's
// environment points at it: DBUS_SESSION_BUS_ADDRESS, XDG_CONFIG_HOME,
// XDG_RUNTIME_DIR.
class SessionBus {
 public:
  SessionBus();
  ~SessionBus();
  SessionBus(const SessionBus&) = delete;
  SessionBus& operator=(const SessionBus&) = delete;
  const std::string& address() const { return address_; }
  // A program run against this bus; its standard output, trimmed.
  std::string Run(const std::vector<std::string>& argv);

 private:
  testsupport::TempDir folder_;
  std::unique_ptr<BackgroundProgram> daemon_;
  std::string address_;
};

using testsupport::XServer;

// A smooth picture (so that scalers agree) as a 24-bit bitmap; `variant`
// changes its colours.
std::string DrawBitmap(const std::string& path, int width, int height, int variant);

// A bitmap on one area ("x,y,w,h") of a picture.
struct PlacedPicture {
  std::string area;
  std::string bitmap;
};

// How far the picture in `shot` is from the bitmaps placed by Pillow, each
// on its area by `fit` ("fill", "fit", "stretch", "center", "tile"; "span":
// the first bitmap filling the areas' bounding box), black elsewhere: mean
// and 99th percentile of channel errors.
std::pair<double, double> LayoutError(const std::string& shot, const std::vector<PlacedPicture>& placed,
                                      const char* fit);

// RandR monitors M0, M1... at these areas ("x,y,w,h") of the display, in
// place of the `*set` made before (which becomes their count); the first
// takes the server's one output, which replaces the monitor made for it.
// False when the server keeps no monitors of its own.
bool SetMonitors(const std::string& display, const std::vector<std::string>& areas, size_t* set);

// The root window of the display saved as a picture; false if it cannot be.
bool SaveRoot(const std::string& display, const std::string& path);

// Chooses the setter from the environment as the program's start-up does;
// returns what that wrote to standard error.
std::string ChooseDesktop(const char* requested);

// SPI_SETDESKWALLPAPER of a bitmap; the stored copy's path, empty on failure.
// What the call wrote to standard error goes to `said` when given.
std::string SetWallpaper(const std::string& bitmap, std::string* said = nullptr);

// The placement the next wallpaper calls give the desktop, as the
// registry's WallpaperStyle and TileWallpaper strings; null removes a value.
void SetFit(const char* style, const char* tile);

// The environment entry, or empty.
std::string Env(const char* name);
// Sets or (with null) removes an environment entry for the test's life.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  bool had_ = false;
  std::string old_;
};

}  // namespace desktoptest
