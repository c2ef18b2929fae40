// The whole program on a desktop: five local pictures in a row, each seen
// on the desktop right after the program announced it.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <thread>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include "desktop_helpers.h"

using namespace desktoptest;
using testsupport::Child;
using testsupport::ReadFile;

namespace {

// Runs skerrow over five pictures with SKERROW_DESKTOP=`desktop`; after
// each "wallpaper: " line, `check` gets the picture and the stored copy.
void RotateFivePictures(const char* desktop, const std::function<void(const std::string&, const std::string&)>& check) {
  testsupport::TempDir folder;
  const std::string state = folder / "state", log = folder / "stderr.txt";
  std::string configuration = "get-timer:1000\n";
  std::vector<std::string> pictures;
  for (int i = 0; i < 5; ++i) {
    pictures.push_back(DrawBitmap(folder / ("p" + std::to_string(i) + ".bmp"), 96, 54, i));
    configuration += "file://" + pictures.back() + "\n";
  }
  testsupport::WriteFile(folder / "skerrow.cnf", configuration);
  Child program({SKERROW_PROGRAM}, {.env = {"TEMP=" + folder.path(), "XDG_STATE_HOME=" + state,
                                            std::string("SKERROW_DESKTOP=") + desktop},
                                    .folder = folder.path(),
                                    .stderr_file = log});
  auto changes = [&] {
    std::string text = ReadFile(log);
    size_t count = 0;
    for (size_t at = text.find("wallpaper: "); at != std::string::npos; at = text.find("wallpaper: ", at + 1)) ++count;
    return count;
  };
  for (size_t seen = 0; seen < pictures.size(); ++seen) {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (changes() <= seen && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (changes() <= seen) {
      ADD_FAILURE() << "no change " << seen + 1 << "; log:\n" << ReadFile(log);
      break;
    }
    check(pictures[seen], testsupport::NewestWallpaperCopy(state));
  }
  if (program.Terminate(5000) < 0) program.Signal(SIGKILL);
  std::string text = ReadFile(log);
  // Once, before the first change; a display's toolkit may speak first.
  const std::string line = std::string("desktop: ") + desktop + "\n";
  const std::size_t at = text.find(line);
  EXPECT_TRUE(at == 0 || (at != std::string::npos && text[at - 1] == '\n')) << text;
  EXPECT_LT(at, text.find("wallpaper: ")) << text;
  EXPECT_EQ(text.find(line, at + 1), std::string::npos) << text;
  EXPECT_EQ(text.find("did not take"), std::string::npos) << text;
}

TEST(DesktopProgramTest, FivePicturesReachTheRootWindowOfBareX11) {
  XServer screen("640x360x24");
  Display* display = XOpenDisplay(screen.display().c_str());
  ASSERT_NE(display, nullptr);
  RotateFivePictures("x11", [&](const std::string& picture, const std::string&) {
    // The screen has the picture's shape: its middle is the picture's middle.
    XImage* image = XGetImage(display, DefaultRootWindow(display), 320, 180, 1, 1, AllPlanes, ZPixmap);
    ASSERT_NE(image, nullptr);
    unsigned long pixel = XGetPixel(image, 0, 0);
    XDestroyImage(image);
    auto expected = testsupport::RunPython(
        "import sys\nfrom PIL import Image\nr, g, b = Image.open(sys.argv[1]).convert('RGB').getpixel((48, 27))\n"
        "print(r << 16 | g << 8 | b)\n",
        {picture});
    unsigned long want = std::stoul(expected.out);
    for (int shift : {16, 8, 0})
      EXPECT_NEAR(static_cast<int>((pixel >> shift) & 0xff), static_cast<int>((want >> shift) & 0xff), 8) << picture;
  });
  XCloseDisplay(display);
}

TEST(DesktopProgramTest, FivePicturesReachGnomeSettings) {
  SessionBus bus;
  RotateFivePictures("gnome", [&](const std::string&, const std::string& stored) {
    std::string uri = testsupport::RunPython("import sys, pathlib\nprint(pathlib.Path(sys.argv[1]).as_uri(), end='')\n",
                                             {stored}).out;
    for (const char* key : {"picture-uri", "picture-uri-dark"})
      EXPECT_EQ(bus.Run({"/usr/bin/gsettings", "get", "org.gnome.desktop.background", key}), "'" + uri + "'");
  });
}

// Programs on three desktops share one store: none ever removes the copy
// another one's desktop shows, and the last one shown outlives them all.
TEST(DesktopProgramTest, ProgramsSharingTheStoreNeverRemoveACopyAnotherShows) {
  SessionBus bus;
  testsupport::TempDir folder;
  const std::string state = folder / "state";
  std::string configuration = "get-timer:1000\n";
  for (int i = 0; i < 3; ++i)
    configuration += "file://" + DrawBitmap(folder / ("p" + std::to_string(i) + ".bmp"), 96, 54, i) + "\n";
  testsupport::WriteFile(folder / "skerrow.cnf", configuration);
  std::vector<std::unique_ptr<Child>> programs;
  for (int i = 0; i < 3; ++i) {
    // A runtime folder each: one program per desktop session.
    const std::string runtime = folder / ("run" + std::to_string(i));
    mkdir(runtime.c_str(), 0700);
    programs.push_back(std::make_unique<Child>(
        std::vector<std::string>{SKERROW_PROGRAM},
        testsupport::ChildOptions{.env = {"DISPLAY", "WAYLAND_DISPLAY", "TEMP=" + folder.path(), "XDG_STATE_HOME=" + state,
                                          "XDG_RUNTIME_DIR=" + runtime, "SKERROW_DESKTOP=gnome"},
                                  .folder = folder.path()}));
  }
  auto shown = [&] {
    std::string uri = bus.Run({"/usr/bin/gsettings", "get", "org.gnome.desktop.background", "picture-uri"});
    return uri.starts_with("'file://") ? uri.substr(8, uri.size() - 9) : std::string();
  };
  int looks = 0, missing = 0;
  for (int i = 0; i < 20; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    const std::string before = shown();
    const bool there = testsupport::FileExists(before);
    // Only while the desktop kept its picture is a missing file a fault.
    if (before.empty() || shown() != before) continue;
    ++looks;
    if (!there) ++missing;
  }
  EXPECT_GE(looks, 10);
  EXPECT_EQ(missing, 0);
  programs.clear();
  EXPECT_TRUE(testsupport::FileExists(shown())) << shown();
}

// The middle pixel of each picture as Pillow reads it, 0xRRGGBB.
std::vector<unsigned long> Middles(const std::vector<std::string>& pictures) {
  std::vector<unsigned long> middles;
  for (const std::string& picture : pictures)
    middles.push_back(std::stoul(testsupport::RunPython(
        "import sys\nfrom PIL import Image\nim = Image.open(sys.argv[1]).convert('RGB')\n"
        "r, g, b = im.getpixel((im.width // 2, im.height // 2))\nprint(r << 16 | g << 8 | b)\n",
        {picture}).out));
  return middles;
}

bool Near(unsigned long pixel, unsigned long want) {
  for (int shift : {16, 8, 0})
    if (std::abs(static_cast<int>((pixel >> shift) & 0xff) - static_cast<int>((want >> shift) & 0xff)) > 8)
      return false;
  return true;
}

TEST(DesktopProgramTest, EachMonitorTakesTheNextPictureLeftToRightAndPreviousGoesBackAStep) {
  XServer screen("640x360x24");
  size_t monitors = 0;
  // The right one declared first: the order is the layout's, not the server's.
  ASSERT_TRUE(SetMonitors(screen.display(), {"320,0,320,360", "0,0,320,360"}, &monitors));
  Display* display = XOpenDisplay(screen.display().c_str());
  ASSERT_NE(display, nullptr);
  testsupport::TempDir folder;
  std::string configuration = "get-timer:600000\nfit:stretch\nmonitors:each\n";
  std::vector<std::string> pictures;
  for (int i = 0; i < 3; ++i) {
    pictures.push_back(DrawBitmap(folder / ("p" + std::to_string(i) + ".bmp"), 160, 180, i));
    configuration += "file://" + pictures.back() + "\n";
  }
  const std::vector<unsigned long> middles = Middles(pictures);
  testsupport::WriteFile(folder / "skerrow.cnf", configuration);
  const std::string log = folder / "stderr.txt";
  Child program({SKERROW_PROGRAM}, {.env = {"TEMP=" + folder.path(), "XDG_STATE_HOME=" + (folder / "state"),
                                            "SKERROW_DESKTOP=x11"},
                                    .folder = folder.path(),
                                    .stderr_file = log});
  auto root_pixel = [&](int x, int y) {
    XImage* image = XGetImage(display, DefaultRootWindow(display), x, y, 1, 1, AllPlanes, ZPixmap);
    unsigned long pixel = image != nullptr ? XGetPixel(image, 0, 0) : 0;
    if (image != nullptr) XDestroyImage(image);
    return pixel;
  };
  auto steer = [&](const char* option) {
    Child other({SKERROW_PROGRAM, option}, {.line_fd = 1});
    std::vector<std::string> lines;
    while (std::optional<std::string> line = other.NextLine(5000)) lines.push_back(*line);
    int code = -1;
    testsupport::WaitFor([&] { return other.Ended(&code); }, 5000);
    EXPECT_EQ(code, 0) << option;
    return lines;
  };
  const struct {
    const char* option;  // null: the first step, at start
    int left, right;
  } steps[] = {{nullptr, 0, 1}, {"--next", 2, 0}, {"--previous", 0, 1}, {"--next", 2, 0}};
  for (const auto& step : steps) {
    if (step.option != nullptr) steer(step.option);
    bool shown = testsupport::WaitFor(
        [&] { return Near(root_pixel(160, 180), middles[step.left]) && Near(root_pixel(480, 180), middles[step.right]); },
        15000);
    EXPECT_TRUE(shown) << (step.option ? step.option : "start") << std::hex << " left " << root_pixel(160, 180)
                       << " right " << root_pixel(480, 180) << "\n"
                       << ReadFile(log);
  }
  // The picture shown last is the right monitor's, and its stored copy.
  std::vector<std::string> current = steer("--current");
  ASSERT_EQ(current.size(), 2u);
  EXPECT_EQ(current[0], "file://" + pictures[0]);
  EXPECT_EQ(ReadFile(current[1]), ReadFile(pictures[0]));
  if (program.Terminate(5000) < 0) program.Signal(SIGKILL);
  EXPECT_EQ(ReadFile(log).find("did not take"), std::string::npos) << ReadFile(log);
  XCloseDisplay(display);
}

}  // namespace
