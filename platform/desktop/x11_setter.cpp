// Bare X11 (i3, Openbox, Fluxbox...): the picture is drawn into a pixmap
// that becomes the root window's background, and the pixmap is announced
// through the root properties that compositors and terminals read. The
// pixmap must outlive this connection, so the connection's resources are
// retained; the previous picture's retained resources are released first,
// or each change would leave a root-sized pixmap behind in the server.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xrandr.h>

#include <cstdlib>
#include <cstring>

#include "module_setters.h"
#include "root_picture.h"

namespace layer {
namespace {

bool x_failed = false;
int NoteError(Display*, XErrorEvent*) {
  x_failed = true;
  return 0;
}
int NoteBrokenConnection(Display*) { return 0; }
void KeepRunning(Display*, void*) { x_failed = true; }

// A display connection whose failures come back as a flag: Xlib's own
// handlers would end the program.
class Connection {
 public:
  Connection() {
    previous_ = XSetErrorHandler(NoteError);
    previous_io_ = XSetIOErrorHandler(NoteBrokenConnection);
    x_failed = false;
    display_ = XOpenDisplay(nullptr);
    if (display_ != nullptr) XSetIOErrorExitHandler(display_, KeepRunning, nullptr);
  }
  ~Connection() {
    if (display_ != nullptr) XCloseDisplay(display_);
    XSetErrorHandler(previous_);
    XSetIOErrorHandler(previous_io_);
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  Display* get() const { return display_; }

 private:
  Display* display_ = nullptr;
  XErrorHandler previous_;
  XIOErrorHandler previous_io_;
};

// An 8-bit channel value at the place and width a visual's mask gives it.
unsigned long Place(unsigned long mask, uint32_t value) {
  if (mask == 0) return 0;
  int shift = __builtin_ctzl(mask);
  unsigned long top = mask >> shift;
  return ((value * top + 127) / 255) << shift;
}

bool CanRun() {
  const char* display = std::getenv("DISPLAY");
  return display != nullptr && display[0] != '\0';
}

std::vector<MonitorArea> Monitors(Display* display, Window root) {
  std::vector<MonitorArea> areas;
  int count = 0;
  XRRMonitorInfo* monitors = XRRGetMonitors(display, root, True, &count);
  for (int i = 0; monitors != nullptr && i < count; ++i)
    areas.push_back({monitors[i].x, monitors[i].y, monitors[i].width, monitors[i].height});
  if (monitors != nullptr) XRRFreeMonitors(monitors);
  if (areas.empty()) areas.push_back({0, 0, DisplayWidth(display, DefaultScreen(display)),
                                      DisplayHeight(display, DefaultScreen(display))});
  return areas;
}

// The pixmap a root property names, or None.
Pixmap RootPixmap(Display* display, Window root, Atom property) {
  Atom type = None;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  Pixmap pixmap = None;
  if (XGetWindowProperty(display, root, property, 0, 1, False, XA_PIXMAP, &type, &format, &count, &after, &data) ==
          Success &&
      type == XA_PIXMAP && format == 32 && count == 1)
    pixmap = *reinterpret_cast<Pixmap*>(data);
  if (data != nullptr) XFree(data);
  return pixmap;
}

// Draws the picture into a new pixmap of the root's size.
Pixmap DrawPixmap(Display* display, const RootPicture& picture) {
  int screen = DefaultScreen(display);
  Window root = RootWindow(display, screen);
  Visual* visual = DefaultVisual(display, screen);
  unsigned depth = static_cast<unsigned>(DefaultDepth(display, screen));
  auto width = static_cast<unsigned>(picture.width), height = static_cast<unsigned>(picture.height);
  XImage* image = XCreateImage(display, visual, depth, ZPixmap, 0, nullptr, width, height, 32, 0);
  if (image == nullptr) return None;
  bool native = image->bits_per_pixel == 32 && visual->red_mask == 0xff0000 && visual->green_mask == 0xff00 &&
                visual->blue_mask == 0xff && image->byte_order == LSBFirst;
  std::vector<uint32_t> converted;
  if (native) {
    image->data = reinterpret_cast<char*>(const_cast<uint32_t*>(picture.pixels.data()));
  } else {
    converted.resize(static_cast<size_t>(image->bytes_per_line) * height / 4 + 1);
    image->data = reinterpret_cast<char*>(converted.data());
    const unsigned long masks[3] = {visual->red_mask, visual->green_mask, visual->blue_mask};
    for (unsigned y = 0; y < height; ++y)
      for (unsigned x = 0; x < width; ++x) {
        uint32_t rgb = picture.pixels[y * width + x];
        unsigned long pixel = 0;
        for (int c = 0; c < 3; ++c) pixel |= Place(masks[c], (rgb >> (16 - 8 * c)) & 0xff);
        XPutPixel(image, static_cast<int>(x), static_cast<int>(y), pixel);
      }
  }
  Pixmap pixmap = XCreatePixmap(display, root, width, height, depth);
  GC gc = XCreateGC(display, pixmap, 0, nullptr);
  XPutImage(display, pixmap, gc, image, 0, 0, 0, 0, width, height);
  XFreeGC(display, gc);
  image->data = nullptr;  // the pixels belong to the picture or to `converted`
  XDestroyImage(image);
  return pixmap;
}

bool Show(const char* path, std::string* why) {
  RootPicture picture;
  if (!ReadBitmapPicture(path, &picture, why)) return false;
  Connection connection;
  Display* display = connection.get();
  if (display == nullptr) {
    *why = "cannot open the X display";
    return false;
  }
  int screen = DefaultScreen(display);
  Window root = RootWindow(display, screen);
  RootPicture filled = FillMonitors(picture, Monitors(display, root), DisplayWidth(display, screen),
                                    DisplayHeight(display, screen));
  picture = RootPicture();
  Pixmap pixmap = DrawPixmap(display, filled);
  filled = RootPicture();
  if (pixmap == None || x_failed) {
    *why = "the X server could not hold the picture";
    return false;
  }

  Atom root_id = XInternAtom(display, "_XROOTPMAP_ID", False);
  Atom esetroot_id = XInternAtom(display, "ESETROOT_PMAP_ID", False);
  // Both names on one pixmap mean a setter like this one retained it; its
  // client is released with everything it held. Anything else belongs to
  // some other program and is left alone.
  XGrabServer(display);
  Pixmap old_root = RootPixmap(display, root, root_id);
  if (old_root != None && old_root == RootPixmap(display, root, esetroot_id)) {
    XKillClient(display, old_root);
    XSync(display, False);
    x_failed = false;  // a client long gone is no failure of this change
  }
  XChangeProperty(display, root, root_id, XA_PIXMAP, 32, PropModeReplace, reinterpret_cast<unsigned char*>(&pixmap), 1);
  XChangeProperty(display, root, esetroot_id, XA_PIXMAP, 32, PropModeReplace, reinterpret_cast<unsigned char*>(&pixmap),
                  1);
  XSetWindowBackgroundPixmap(display, root, pixmap);
  XClearWindow(display, root);
  XUngrabServer(display);
  XSetCloseDownMode(display, RetainPermanent);
  XSync(display, False);
  if (x_failed) {
    *why = "the X server refused the root window's picture";
    return false;
  }
  return true;
}

}  // namespace

const DesktopSetter kX11Desktop = {"x11", CanRun, Show};

}  // namespace layer
