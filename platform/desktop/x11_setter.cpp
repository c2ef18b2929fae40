// Bare X11 (i3, Openbox, Fluxbox...): the picture is drawn into a pixmap
// that becomes the root window's background, and the pixmap is announced
// through the root properties that compositors and terminals read. The
// pixmap must outlive this connection, so the connection's resources are
// retained; the previous picture's retained resources are released first,
// or each change would leave a root-sized pixmap behind in the server.
//
// Xlib waits without limit on a server that has stopped (a frozen or
// stopped process still accepts connections), so the conversation runs on
// a thread of its own: past its time the caller cuts the connection, which
// ends every wait with an I/O error, and a thread still stuck opening the
// display is left to finish alone while further changes are refused.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xrandr.h>
#include <fcntl.h>
#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "mapped_file.h"
#include "module_setters.h"
#include "root_picture.h"

// Last: the extension writers' header defines min and max as macros.
#include <X11/Xlibint.h>
#undef min
#undef max

namespace layer {
namespace {

// How long a change may talk to the server before its connection is cut,
// and how long the thread then has to notice; together within the wallpaper
// call's two seconds.
constexpr auto kTalkTime = std::chrono::milliseconds(1500);
constexpr auto kWindDownTime = std::chrono::milliseconds(300);

// A request the server refused, and a connection that is gone (closed by
// the server, or cut by the caller). Only the talking thread sets them, and
// only one such thread lives at a time.
std::atomic<bool> x_failed{false};
std::atomic<bool> x_gone{false};

// Xlib's error handler is the whole process's: a toolkit's connection on
// the main thread reports through it too. So this conversation's errors are
// taken off its own display before they reach that handler (False: nobody
// else hears of them), and other connections' errors never come here.
Bool NoteError(Display*, XErrorEvent*, xError*) {
  x_failed = true;
  return False;
}
void ClaimErrors(Display* display) {
  for (int code = 1; code < 256; ++code) XESetWireToError(display, code, NoteError);
}

// A broken connection has only the process-wide handler before the
// display's own exit; it is installed once, keeps quiet about the
// conversation's display, and hands every other display to the handler
// that was there before.
std::atomic<Display*> talking_display{nullptr};
std::atomic<XIOErrorHandler> earlier_io_handler{nullptr};
int NoteBrokenConnection(Display* display) {
  XIOErrorHandler earlier = earlier_io_handler;
  if (display == talking_display || earlier == nullptr) return 0;
  return earlier(display);
}
void KeepRunning(Display*, void*) { x_failed = x_gone = true; }

// Root-sized shared memory outlives a change: making and freeing a segment
// costs the system several times what drawing the picture into it does.
// The segment under the picture on the root stays mapped here so that,
// once the next change has released its pixmap, it becomes the spare that
// the change after draws into. Touched only by the talking thread.
struct Segment {
  int id = -1;
  char* address = nullptr;
  size_t size = 0;
};
Segment shown_segment, spare_segment;
Pixmap shown_pixmap = None;

void Release(Segment* segment) {
  if (segment->address != nullptr) shmdt(segment->address);
  *segment = Segment();
}

// The spare when it has the size, else a new segment, already marked for
// removal so that it goes with its last user whatever happens to this
// program or the server (Linux lets the server attach it still).
Segment TakeSegment(size_t size) {
  Segment segment = spare_segment;
  spare_segment = Segment();
  if (segment.size == size) return segment;
  Release(&segment);
  int id = shmget(IPC_PRIVATE, size, IPC_CREAT | 0600);
  if (id < 0) return segment;
  void* address = shmat(id, nullptr, 0);
  shmctl(id, IPC_RMID, nullptr);
  if (address == reinterpret_cast<void*>(-1)) return segment;
  // Every page is written next: one call maps them all instead of a fault
  // each. Older kernels go page by page as before.
  madvise(address, size, MADV_POPULATE_WRITE);
  return {id, static_cast<char*>(address), size};
}

// Where a change's segment goes once the change is over: under the root's
// picture, or back to be the spare.
void SettleSegment(Segment* used, Pixmap shown, Pixmap released) {
  if (used->address == nullptr) return;
  if (shown == None) {
    Release(&spare_segment);
    spare_segment = *used;
    return;
  }
  // The old picture's segment is free only if its pixmap went with it.
  if (released != None && released == shown_pixmap) {
    Release(&spare_segment);
    spare_segment = shown_segment;
  } else {
    Release(&shown_segment);
  }
  shown_segment = *used;
  shown_pixmap = shown;
}

// A thread from an earlier change still waits for the server to answer.
std::atomic<bool> server_stuck{false};

// One change, shared by the caller and the thread that talks to the server.
struct Change {
  // What the thread does with the server; false with the reason.
  bool (*work)(Change* change, std::string* why) = nullptr;
  std::string path;
  std::vector<MonitorPicture> pictures;  // a picture per monitor instead
  WallpaperFit fit = WallpaperFit::kKeep;
  std::vector<MonitorPlace> monitors;  // what a listing found
  std::mutex lock;
  std::condition_variable finished_signal;
  bool finished = false;
  bool abandoned = false;
  int connection = -1;  // the server's socket while the thread holds it open
  bool shown = false;
  std::string why;
};

// A display connection whose failures come back as flags: Xlib's own
// handlers would end the program. Its socket is lent to the caller, who
// may cut it.
class Connection {
 public:
  explicit Connection(Change* change) : change_(change) {
    static std::once_flag installed;
    std::call_once(installed, [] { earlier_io_handler = XSetIOErrorHandler(NoteBrokenConnection); });
    x_failed = x_gone = false;
    display_ = XOpenDisplay(nullptr);
    if (display_ == nullptr) return;
    talking_display = display_;
    XSetIOErrorExitHandler(display_, KeepRunning, nullptr);
    ClaimErrors(display_);
    std::lock_guard<std::mutex> hold(change_->lock);
    if (change_->abandoned) x_failed = x_gone = true;  // too late: the caller has given up
    change_->connection = ConnectionNumber(display_);
  }
  ~Connection() {
    if (display_ == nullptr) return;
    {
      std::lock_guard<std::mutex> hold(change_->lock);
      change_->connection = -1;  // before the number can name another file
    }
    XCloseDisplay(display_);
    talking_display = nullptr;
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  Display* get() const { return display_; }

 private:
  Change* change_;
  Display* display_ = nullptr;
};

// An image of the root's size in the server's pixel layout. Shared memory
// when the server can attach it, so the pixels cross no socket; else the
// ordinary request, which Xlib splits to the server's largest size.
class RootImage {
 public:
  // The shared segment drawn into, if any, goes to `used` at the end.
  RootImage(Display* display, unsigned width, unsigned height, Segment* used) : display_(display), used_(used) {
    int screen = DefaultScreen(display);
    Visual* visual = DefaultVisual(display, screen);
    unsigned depth = static_cast<unsigned>(DefaultDepth(display, screen));
    if (XShmQueryExtension(display)) AttachShared(visual, depth, width, height);
    if (image_ == nullptr) {
      image_ = XCreateImage(display, visual, depth, ZPixmap, 0, nullptr, width, height, 32, 0);
      if (image_ == nullptr) return;
      image_->data = static_cast<char*>(std::calloc(static_cast<size_t>(image_->bytes_per_line), height));
      if (image_->data == nullptr) {
        XDestroyImage(image_);
        image_ = nullptr;
        return;
      }
    }
    native_ = image_->bits_per_pixel == 32 && visual->red_mask == 0xff0000 && visual->green_mask == 0xff00 &&
              visual->blue_mask == 0xff && image_->byte_order == LSBFirst && image_->bytes_per_line % 4 == 0;
  }
  ~RootImage() {
    if (image_ == nullptr) return;
    if (shared_) {
      XShmDetach(display_, &segment_);  // a pixmap made on it keeps it in the server
      Segment segment = {segment_.shmid, segment_.shmaddr,
                         static_cast<size_t>(image_->bytes_per_line) * static_cast<size_t>(image_->height)};
      if (shared_pixmaps_) {
        *used_ = segment;
      } else {  // only carried the pixels, which the server has copied by the next change
        Release(&spare_segment);
        spare_segment = segment;
      }
      image_->data = nullptr;
    }
    XDestroyImage(image_);  // frees the pixels of an ordinary image
  }
  RootImage(const RootImage&) = delete;
  RootImage& operator=(const RootImage&) = delete;
  bool ok() const { return image_ != nullptr; }

  // Where 0x00RRGGBB pixels go: the image itself when the server's layout
  // is that, else `converted`, turned into the layout by Convert.
  PixelArea Pixels() {
    if (native_)
      return {reinterpret_cast<uint32_t*>(image_->data), image_->width, image_->height,
              static_cast<size_t>(image_->bytes_per_line) / 4};
    converted_.assign(static_cast<size_t>(image_->width) * static_cast<size_t>(image_->height), 0);
    return {converted_.data(), image_->width, image_->height, static_cast<size_t>(image_->width)};
  }
  void Convert() {
    if (native_) return;
    const Visual* visual = DefaultVisual(display_, DefaultScreen(display_));
    const unsigned long masks[3] = {visual->red_mask, visual->green_mask, visual->blue_mask};
    for (int y = 0; y < image_->height; ++y)
      for (int x = 0; x < image_->width; ++x) {
        uint32_t rgb = converted_[static_cast<size_t>(y) * static_cast<size_t>(image_->width) + static_cast<size_t>(x)];
        unsigned long pixel = 0;
        for (int c = 0; c < 3; ++c) pixel |= Place(masks[c], (rgb >> (16 - 8 * c)) & 0xff);
        XPutPixel(image_, x, y, pixel);
      }
  }
  // A pixmap of the root's size holding the image. A server that keeps
  // pixmaps in shared memory takes the segment itself as the pixmap's
  // store: no copy, and no second root-sized allocation in the server.
  Pixmap MakePixmap(Window root) {
    auto width = static_cast<unsigned>(image_->width), height = static_cast<unsigned>(image_->height);
    auto depth = static_cast<unsigned>(image_->depth);
    if (shared_ && shared_pixmaps_)
      return XShmCreatePixmap(display_, root, image_->data, &segment_, width, height, depth);
    Pixmap pixmap = XCreatePixmap(display_, root, width, height, depth);
    GC gc = XCreateGC(display_, pixmap, 0, nullptr);
    if (shared_)
      XShmPutImage(display_, pixmap, gc, image_, 0, 0, 0, 0, width, height, False);
    else
      XPutImage(display_, pixmap, gc, image_, 0, 0, 0, 0, width, height);
    XFreeGC(display_, gc);
    return pixmap;
  }

 private:
  // An 8-bit channel value at the place and width a visual's mask gives it.
  static unsigned long Place(unsigned long mask, uint32_t value) {
    if (mask == 0) return 0;
    int shift = __builtin_ctzl(mask);
    unsigned long top = mask >> shift;
    return ((value * top + 127) / 255) << shift;
  }

  void AttachShared(Visual* visual, unsigned depth, unsigned width, unsigned height) {
    XImage* image = XShmCreateImage(display_, visual, depth, ZPixmap, nullptr, &segment_, width, height);
    if (image == nullptr) return;
    Segment segment = TakeSegment(static_cast<size_t>(image->bytes_per_line) * height);
    if (segment.address == nullptr) {
      XDestroyImage(image);
      return;
    }
    segment_.shmid = segment.id;
    segment_.shmaddr = image->data = segment.address;
    segment_.readOnly = False;  // a pixmap made on the segment must be drawable
    bool attached = XShmAttach(display_, &segment_);
    if (attached) {
      XSync(display_, False);  // a server elsewhere, or in another IPC namespace, refuses here
      attached = !x_failed;
      if (!attached) XShmDetach(display_, &segment_);
    }
    if (!attached) {
      Release(&segment);
      image->data = nullptr;
      XDestroyImage(image);
      x_failed = false;  // the ordinary request will do
      return;
    }
    image_ = image;
    shared_ = true;
    int major = 0, minor = 0;
    Bool pixmaps = False;
    shared_pixmaps_ = XShmQueryVersion(display_, &major, &minor, &pixmaps) && pixmaps &&
                      XShmPixmapFormat(display_) == ZPixmap;
  }

  Display* display_;
  XImage* image_ = nullptr;
  Segment* used_;
  XShmSegmentInfo segment_{};
  bool shared_ = false;
  bool shared_pixmaps_ = false;
  bool native_ = false;
  std::vector<uint32_t> converted_;
};

bool CanRun() {
  const char* display = std::getenv("DISPLAY");
  return display != nullptr && display[0] != '\0';
}

// The RandR monitors with their names; a server without them is one
// screen.
std::vector<MonitorPlace> NamedMonitors(Display* display, Window root) {
  std::vector<MonitorPlace> places;
  int count = 0;
  bool failed = x_failed;
  XRRMonitorInfo* monitors = XRRGetMonitors(display, root, True, &count);
  XSync(display, False);
  for (int i = 0; monitors != nullptr && i < count; ++i) {
    char* name = monitors[i].name != None ? XGetAtomName(display, monitors[i].name) : nullptr;
    places.push_back({name != nullptr ? name : "monitor" + std::to_string(i), monitors[i].x, monitors[i].y,
                      monitors[i].width, monitors[i].height});
    if (name != nullptr) XFree(name);
  }
  if (monitors != nullptr) XRRFreeMonitors(monitors);
  x_failed = failed;
  if (places.empty())
    places.push_back({"screen", 0, 0, DisplayWidth(display, DefaultScreen(display)),
                      DisplayHeight(display, DefaultScreen(display))});
  return places;
}

std::vector<MonitorArea> Monitors(Display* display, Window root) {
  int count = 0;
  bool failed = x_failed;
  XRRMonitorInfo* monitors = XRRGetMonitors(display, root, True, &count);
  XSync(display, False);
  x_failed = failed;  // a server without monitors is one screen
  std::vector<MonitorArea> areas;
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

// Fills the root's pixels; may ask the server first (before any pixel).
using Drawing = std::function<void(Display* display, Window root, PixelArea pixels)>;

// Draws into a new pixmap of the root's size.
Pixmap DrawPixmap(Display* display, const Drawing& draw, Segment* used) {
  int screen = DefaultScreen(display);
  Window root = RootWindow(display, screen);
  auto width = static_cast<unsigned>(DisplayWidth(display, screen));
  auto height = static_cast<unsigned>(DisplayHeight(display, screen));
  if (x_gone) return None;  // no point drawing
  RootImage image(display, width, height, used);
  if (!image.ok()) return None;
  draw(display, root, image.Pixels());
  if (x_gone) return None;
  image.Convert();
  return image.MakePixmap(root);
}

// Draws into a new pixmap and makes it the root's picture; `shown` is that
// pixmap, `released` the earlier one whose client went.
bool Present(Display* display, const Drawing& draw, Segment* used, Pixmap* shown, Pixmap* released,
             std::string* why) {
  Window root = DefaultRootWindow(display);
  Pixmap pixmap = DrawPixmap(display, draw, used);
  *shown = pixmap;
  XSync(display, False);  // the root is not to be pointed at a pixmap the server could not make
  if (pixmap == None || x_failed || x_gone) {
    *why = "the X server could not hold the picture";
    return false;
  }

  Atom root_id = XInternAtom(display, "_XROOTPMAP_ID", False);
  Atom esetroot_id = XInternAtom(display, "ESETROOT_PMAP_ID", False);
  // Both names on one pixmap mean a setter like this one retained it; its
  // client is released with everything it held, once the new picture is
  // up. Anything else belongs to some other program and is left alone.
  XGrabServer(display);
  Pixmap old_root = RootPixmap(display, root, root_id);
  bool retained_by_setter = old_root != None && old_root == RootPixmap(display, root, esetroot_id);
  XChangeProperty(display, root, root_id, XA_PIXMAP, 32, PropModeReplace, reinterpret_cast<unsigned char*>(&pixmap), 1);
  XChangeProperty(display, root, esetroot_id, XA_PIXMAP, 32, PropModeReplace, reinterpret_cast<unsigned char*>(&pixmap),
                  1);
  XSetWindowBackgroundPixmap(display, root, pixmap);
  XClearWindow(display, root);
  if (retained_by_setter) {
    XSync(display, False);
    bool failed = x_failed;
    XKillClient(display, old_root);
    *released = old_root;
    XSync(display, False);
    x_failed = failed;  // a client long gone is no failure of this change
  }
  XUngrabServer(display);
  XSetCloseDownMode(display, RetainPermanent);
  XSync(display, False);
  if (x_failed || x_gone) {
    *why = "the X server refused the root window's picture";
    return false;
  }
  return true;
}

// Opens the change's display and makes `draw`'s pixels the root's picture.
bool PresentOnServer(Change* change, const Drawing& draw, std::string* why) {
  Connection connection(change);
  Display* display = connection.get();
  if (display == nullptr) {
    *why = "cannot open the X display";
    return false;
  }
  Segment used;
  Pixmap shown = None, released = None;
  bool done = Present(display, draw, &used, &shown, &released, why);
  SettleSegment(&used, done ? shown : None, released);
  return done;
}

bool ShowOnServer(Change* change, std::string* why) {
  MappedFile file(change->path.c_str());
  if (!file.ok()) {
    *why = "the stored picture cannot be read";
    return false;
  }
  Bitmap bitmap;
  if (!ParseBitmap(file.bytes(), &bitmap, why)) return false;
  return PresentOnServer(
      change,
      [&](Display* display, Window root, PixelArea pixels) {
        DrawMonitors(bitmap, Monitors(display, root), change->fit, pixels);
      },
      why);
}

// One pixmap with each monitor's own picture, at the places the caller
// listed; the rest of the root is black.
bool ShowEachOnServer(Change* change, std::string* why) {
  std::vector<std::unique_ptr<MappedFile>> files;
  std::vector<Bitmap> bitmaps(change->pictures.size());
  std::vector<MonitorBitmap> pictures;
  for (size_t i = 0; i < change->pictures.size(); ++i) {
    const MonitorPicture& picture = change->pictures[i];
    files.push_back(std::make_unique<MappedFile>(picture.path.c_str()));
    if (!files.back()->ok()) {
      *why = "the stored picture for " + picture.monitor.name + " cannot be read";
      return false;
    }
    if (!ParseBitmap(files.back()->bytes(), &bitmaps[i], why)) return false;
    const MonitorPlace& m = picture.monitor;
    pictures.push_back({&bitmaps[i], {m.x, m.y, m.width, m.height}});
  }
  return PresentOnServer(
      change, [&](Display*, Window, PixelArea pixels) { DrawEach(pictures, change->fit, pixels); }, why);
}

bool ListOnServer(Change* change, std::string* why) {
  Connection connection(change);
  Display* display = connection.get();
  if (display == nullptr) {
    *why = "cannot open the X display";
    return false;
  }
  change->monitors = NamedMonitors(display, DefaultRootWindow(display));
  if (x_gone) {
    *why = "the X server went away";
    return false;
  }
  return true;
}

void Talk(const std::shared_ptr<Change>& change) {
  std::string why;
  bool shown = change->work(change.get(), &why);
  std::lock_guard<std::mutex> hold(change->lock);
  change->shown = shown;
  change->why = why;
  change->finished = true;
  if (change->abandoned) server_stuck = false;
  change->finished_signal.notify_one();
}

// Runs the change's work on a thread of its own, within the time limits.
bool TalkWithin(const std::shared_ptr<Change>& change, std::string* why) {
  if (server_stuck) {
    *why = "the X server has not answered since an earlier change";
    return false;
  }
  std::thread talker(Talk, change);
  std::unique_lock<std::mutex> hold(change->lock);
  auto finished = [&] { return change->finished; };
  bool cut = false;
  if (!change->finished_signal.wait_for(hold, kTalkTime, finished)) {
    cut = true;
    // Reading end only: the thread's writes fail quietly instead of raising
    // SIGPIPE, and its next wait sees the end of the stream.
    if (change->connection >= 0) shutdown(change->connection, SHUT_RD);
    if (!change->finished_signal.wait_for(hold, kWindDownTime, finished)) {
      change->abandoned = true;
      server_stuck = true;
      hold.unlock();
      talker.detach();
      *why = "the X server does not answer";
      return false;
    }
  }
  hold.unlock();
  talker.join();
  *why = cut && !change->shown ? "the X server does not answer" : change->why;
  return change->shown;
}

bool Show(const char* path, WallpaperFit fit, std::string* why) {
  auto change = std::make_shared<Change>();
  change->work = ShowOnServer;
  change->path = path;
  change->fit = fit;
  return TalkWithin(change, why);
}

bool ShowEach(const std::vector<MonitorPicture>& pictures, WallpaperFit fit, std::string* why) {
  auto change = std::make_shared<Change>();
  change->work = ShowEachOnServer;
  change->pictures = pictures;
  change->fit = fit;
  return TalkWithin(change, why);
}

}  // namespace

// The pixels are in the server once Show returns: the file may follow.
const DesktopSetter kX11Desktop = {"x11", CanRun, Show, false, nullptr, ShowEach};

bool ListRandrMonitors(std::vector<MonitorPlace>* monitors, std::string* why) {
  if (!CanRun()) {
    *why = "no X display";
    return false;
  }
  auto change = std::make_shared<Change>();
  change->work = ListOnServer;
  if (!TalkWithin(change, why)) return false;
  *monitors = std::move(change->monitors);
  return true;
}

}  // namespace layer
