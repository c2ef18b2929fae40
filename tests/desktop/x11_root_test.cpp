// Bare X11: the picture is placed on every monitor of the root window of a
// real X server, is announced through the root properties, and leaves
// exactly one pixmap behind however often it changes.
// gtest first: Xlib's macros (None) would break its headers.
#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/XRes.h>
#include <X11/extensions/Xrandr.h>

#include <signal.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "desktop_helpers.h"

using namespace desktoptest;

namespace {

class X11RootTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("XDG_STATE_HOME", (files_ / "state").c_str(), 1);
    display_ = XOpenDisplay(server_.display().c_str());
    ASSERT_NE(display_, nullptr);
    EXPECT_EQ(ChooseDesktop("x11"), "desktop: x11\n");
  }
  void TearDown() override {
    if (display_ != nullptr) XCloseDisplay(display_);
  }
  Pixmap RootProperty(const char* name) {
    Atom type;
    int format;
    unsigned long count, after;
    unsigned char* data = nullptr;
    Pixmap pixmap = None;
    if (XGetWindowProperty(display_, DefaultRootWindow(display_), XInternAtom(display_, name, False), 0, 1, False,
                           XA_PIXMAP, &type, &format, &count, &after, &data) == Success &&
        count == 1)
      pixmap = *reinterpret_cast<Pixmap*>(data);
    if (data != nullptr) XFree(data);
    return pixmap;
  }
  // Pixmaps the server holds for all its clients.
  long PixmapsHeld() {
    int clients = 0;
    XResClient* list = nullptr;
    XResQueryClients(display_, &clients, &list);
    long pixmaps = 0;
    Atom pixmap_type = XInternAtom(display_, "PIXMAP", False);
    for (int i = 0; i < clients; ++i) {
      int types = 0;
      XResType* counts = nullptr;
      XResQueryClientResources(display_, list[i].resource_base, &types, &counts);
      for (int t = 0; t < types; ++t)
        if (counts[t].resource_type == pixmap_type) pixmaps += counts[t].count;
      XFree(counts);
    }
    XFree(list);
    return pixmaps;
  }
  // How far the root window is from `bitmap` placed by Pillow on each
  // monitor ("x,y,w,h" each) by `fit` (fill unless told).
  std::pair<double, double> RootError(const std::string& bitmap, const std::vector<std::string>& monitors,
                                      const char* fit = "fill") {
    std::string shot = files_ / "root.png";
    EXPECT_TRUE(SaveRoot(server_.display(), shot));
    std::vector<PlacedPicture> placed;
    for (const std::string& monitor : monitors) placed.push_back({monitor, bitmap});
    return LayoutError(shot, placed, fit);
  }
  void SetMonitors(const std::vector<std::string>& areas) {
    ASSERT_TRUE(desktoptest::SetMonitors(server_.display(), areas, &monitors_set_)) << "this X server keeps no monitors of its own";
  }

  testsupport::TempDir files_;
  XServer server_;
  Display* display_ = nullptr;
  size_t monitors_set_ = 0;
};

TEST_F(X11RootTest, PicturesFillTheScreenAndOnePixmapIsRetained) {
  struct Picture {
    int width, height;
  } const pictures[] = {{320, 180}, {201, 200}, {400, 100}};  // the screen's shape, narrower (rows padded), wider
  std::vector<std::string> bitmaps;
  for (const Picture& p : pictures)
    bitmaps.push_back(DrawBitmap(files_ / ("p" + std::to_string(bitmaps.size()) + ".bmp"), p.width, p.height,
                                 static_cast<int>(bitmaps.size())));
  for (int round = 0; round < 20; ++round) {
    const Picture& p = pictures[round % std::size(pictures)];
    const std::string& bitmap = bitmaps[round % bitmaps.size()];
    std::string said;
    ASSERT_FALSE(SetWallpaper(bitmap, &said).empty()) << said;
    ASSERT_EQ(said.find("did not take"), std::string::npos) << said;
    Pixmap announced = RootProperty("_XROOTPMAP_ID");
    EXPECT_NE(announced, static_cast<Pixmap>(None));
    EXPECT_EQ(RootProperty("ESETROOT_PMAP_ID"), announced);
    if (round < static_cast<int>(std::size(pictures))) {
      auto [mean, high] = RootError(bitmap, {"0,0,1280,720"});
      EXPECT_LT(mean, 2.0) << p.width << "x" << p.height;
      EXPECT_LT(high, 12.0) << p.width << "x" << p.height;
    }
  }
  EXPECT_EQ(PixmapsHeld(), 1);
}

TEST_F(X11RootTest, EachMonitorShowsThePicturePlacedByTheChosenFit) {
  // Three monitors, one of them portrait, with a strip of root beside them;
  // then two, the second of the picture's own size, whose rows go in
  // unscaled. The picture is larger than some monitors and smaller than
  // others, so centring crops and borders both, and tiles are cut.
  const std::vector<std::vector<std::string>> layouts = {{"0,0,640,360", "0,360,640,360", "640,0,400,720"},
                                                         {"0,0,780,720", "780,0,500,300"}};
  struct Fit {
    const char* name;
    const char* style;  // the registry's strings; none: the desktop's own choice, a fill here
    const char* tile;
  } const fits[] = {{"fill", nullptr, nullptr}, {"fill", "10", "0"},   {"fit", "6", "0"},  {"stretch", "2", "0"},
                    {"center", "0", "0"},       {"tile", "0", "1"},    {"span", "22", "0"}};
  std::string bitmap = DrawBitmap(files_ / "p.bmp", 500, 300, 1);
  for (const auto& layout : layouts) {
    SetMonitors(layout);
    for (const Fit& fit : fits) {
      SCOPED_TRACE(std::string(fit.name) + " on " + std::to_string(layout.size()) + " monitors" +
                   (fit.style == nullptr ? " without a fit" : ""));
      SetFit(fit.style, fit.tile);
      std::string said;
      ASSERT_FALSE(SetWallpaper(bitmap, &said).empty()) << said;
      ASSERT_EQ(said.find("did not take"), std::string::npos) << said;
      // Where no monitor is, the root stays black; the comparison counts it.
      auto [mean, high] = RootError(bitmap, layout, fit.name);
      EXPECT_LT(mean, 2.0);
      EXPECT_LT(high, 12.0);
    }
  }
}

TEST_F(X11RootTest, AServerThatDoesNotAnswerCostsAChangeItsBoundAndNoPixmap) {
  std::string bitmap = DrawBitmap(files_ / "p.bmp", 320, 180, 1);
  ASSERT_FALSE(SetWallpaper(bitmap).empty());
  // A stopped server accepts the connection and never answers it; a
  // server grabbed by another client answers the connection, then nothing.
  struct Silence {
    const char* what;
    std::function<void()> begin, end;
  } const silences[] = {
      {"stopped", [&] { kill(server_.pid(), SIGSTOP); }, [&] { kill(server_.pid(), SIGCONT); }},
      {"grabbed", [&] { XGrabServer(display_), XSync(display_, False); },
       [&] { XUngrabServer(display_), XSync(display_, False); }},
  };
  for (const Silence& silence : silences) {
    silence.begin();
    for (int change = 0; change < 2; ++change) {  // the second finds the first still waiting, or waits itself
      auto start = std::chrono::steady_clock::now();
      std::string said;
      std::string stored = SetWallpaper(bitmap, &said);
      double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      EXPECT_LT(seconds, 2.5) << silence.what;
      EXPECT_FALSE(stored.empty()) << silence.what;  // the copy is stored all the same
      EXPECT_NE(said.find("did not take the wallpaper: the X server"), std::string::npos) << silence.what << said;
    }
    silence.end();
    // Once the server answers again, the next change goes through.
    std::string said, stored;
    for (auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);;) {
      said.clear();
      stored = SetWallpaper(bitmap, &said);
      if (said.find("did not take") == std::string::npos || std::chrono::steady_clock::now() > until) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_EQ(said, "wallpaper: " + stored + "\n") << silence.what;
    EXPECT_EQ(PixmapsHeld(), 1) << silence.what;
  }
}

// A picture the store cannot keep never reaches the screen, so what the
// screen shows, what the call says and the stored copy agree.
TEST_F(X11RootTest, APictureTheStoreCannotKeepIsNotShown) {
  std::string shown = DrawBitmap(files_ / "shown.bmp", 320, 180, 1);
  std::string refused = DrawBitmap(files_ / "refused.bmp", 320, 180, 4);
  ASSERT_FALSE(SetWallpaper(shown).empty());
  const Pixmap announced = RootProperty("_XROOTPMAP_ID");
  using testsupport::ScratchFileSystem;
  for (auto [kind, reason] : {std::pair{ScratchFileSystem::kFull, "No space left on device"},
                              std::pair{ScratchFileSystem::kReadOnly, "Read-only file system"}}) {
    const std::string state = files_ / reason;
    ScratchFileSystem scratch(state, kind);
    if (!scratch.mounted()) {
      GTEST_SKIP() << "no right to mount a file system here";
    }
    ScopedEnv store("XDG_STATE_HOME", state.c_str());
    std::string said;
    EXPECT_EQ(SetWallpaper(refused, &said), "");
    EXPECT_EQ(said, "wallpaper refused: " + refused + ": it could not be stored: " + reason + "; the wallpaper stays\n");
    EXPECT_EQ(RootProperty("_XROOTPMAP_ID"), announced) << reason;
    auto [mean, high] = RootError(shown, {"0,0,1280,720"});
    EXPECT_LT(mean, 2.0) << reason;
  }
}

// Another connection in the process, like a toolkit's, whose requests the
// server refuses while the setter talks; its own handler counts them.
std::atomic<long> errors_seen{0};
int CountError(Display*, XErrorEvent*) {
  ++errors_seen;
  return 0;
}

TEST_F(X11RootTest, ErrorsOnAnotherConnectionLeaveTheChangeAlone) {
  std::string bitmap = DrawBitmap(files_ / "p.bmp", 320, 180, 2);
  XErrorHandler earlier = XSetErrorHandler(CountError);
  std::atomic<bool> stop{false};
  long provoked = 0;
  std::thread other([&] {
    Display* display = XOpenDisplay(server_.display().c_str());
    for (; display != nullptr && !stop; ++provoked) {
      XFreePixmap(display, 0x1fffffff);  // no such pixmap
      XSync(display, False);
    }
    if (display != nullptr) XCloseDisplay(display);
  });
  for (int change = 0; change < 10; ++change) {
    std::string said, stored = SetWallpaper(bitmap, &said);
    ASSERT_FALSE(stored.empty()) << said;
    EXPECT_EQ(said, "wallpaper: " + stored + "\n") << change;
  }
  stop = true;
  other.join();
  XSetErrorHandler(earlier);
  EXPECT_GT(provoked, 0);
  EXPECT_EQ(errors_seen, provoked);  // every one reached its own handler
  auto [mean, high] = RootError(bitmap, {"0,0,1280,720"});
  EXPECT_LT(mean, 2.0);
  EXPECT_LT(high, 12.0);
}

// Run-length coded bitmaps, as Windows' own call takes them: 8-bit ones
// from ImageMagick, 4-bit ones (which it does not write) coded here in runs
// and literal stretches; the pixels are compared with Pillow's reading.
TEST_F(X11RootTest, RunLengthCodedBitmapsAreDrawn) {
  std::string source = DrawBitmap(files_ / "source.bmp", 203, 120, 3);
  std::string rle8 = files_ / "rle8.bmp", rle4 = files_ / "rle4.bmp";
  auto made = testsupport::RunProcess({"/usr/bin/convert", source, "-colors", "200", "-type", "Palette",
                                       "-compress", "RLE", "BMP3:" + rle8}, {}, 60);
  ASSERT_EQ(made.exit_code, 0) << made.err;
  auto coded = testsupport::RunPython(
      "import sys, struct\nfrom PIL import Image\n"
      "im = Image.open(sys.argv[1]).convert('RGB').quantize(16)\nw, h = im.size\npx = im.load()\n"
      "pal = im.getpalette()[:48]\nout = bytearray()\n"
      "for y in range(h - 1, -1, -1):\n"
      "    row = [px[x, y] for x in range(w)]\n"
      "    for s in range(0, w, 8):\n"
      "        c = row[s:s + 8]\n"
      "        if len(set(c)) == 1: out += bytes([len(c), c[0] << 4 | c[0]])\n"
      "        elif len(c) < 3: out += b''.join(bytes([1, i << 4]) for i in c)\n"
      "        else:\n"
      "            n = bytes((c[i] << 4) | (c[i + 1] if i + 1 < len(c) else 0) for i in range(0, len(c), 2))\n"
      "            out += bytes([0, len(c)]) + n + (b'\\0' if len(n) % 2 else b'')\n"
      "    out += bytes([0, 0])\n"
      "out += bytes([0, 1])\n"
      "colours = b''.join(bytes([pal[3 * i + 2], pal[3 * i + 1], pal[3 * i], 0]) for i in range(16))\n"
      "offset = 14 + 40 + 64\n"
      "head = b'BM' + struct.pack('<IHHI', offset + len(out), 0, 0, offset)\n"
      "head += struct.pack('<IiiHHIIiiII', 40, w, h, 1, 4, 2, len(out), 2835, 2835, 16, 0)\n"
      "open(sys.argv[2], 'wb').write(head + colours + out)\n",
      {source, rle4});
  ASSERT_EQ(coded.exit_code, 0) << coded.err;
  for (const std::string& bitmap : {rle8, rle4}) {
    std::string bytes = testsupport::ReadFile(bitmap);
    ASSERT_GE(bytes.size(), 34u);
    EXPECT_EQ(bytes[30], bitmap == rle8 ? 1 : 2) << "not the coding meant";
    std::string said, stored = SetWallpaper(bitmap, &said);
    ASSERT_FALSE(stored.empty()) << said;
    EXPECT_EQ(said, "wallpaper: " + stored + "\n");
    auto [mean, high] = RootError(bitmap, {"0,0,1280,720"});
    EXPECT_LT(mean, 2.0) << bitmap;
    EXPECT_LT(high, 12.0) << bitmap;
  }
}

}  // namespace
