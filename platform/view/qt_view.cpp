// The desktop view: shows the layer's windows, controls, message boxes and
// notification-area icons with Qt Widgets, and joins Qt's event handling
// to the layer's one wait.
#include <poll.h>
#include <xcb/xcb.h>

#include <QApplication>
#include <QFile>
#include <QIcon>
#include <QImage>
#include <QLibraryInfo>
#include <QMessageBox>
#include <QPixmap>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QSocketNotifier>
#include <QSystemTrayIcon>
#include <QTimer>

#include <cerrno>
#include <cstdlib>
#include <map>
#include <memory>
#include <utility>

#include "layer_control.h"
#include "layer_view.h"
#include "qt_view.h"

namespace layer::qt {
namespace {

constexpr UINT kIconTypeMask = 0xF0;  // MB_ICONHAND and its kin

QIcon IconOf(HICON icon) {
  LayerIconImage image;
  if (!LayerIconInfo(icon, &image)) return QIcon();
  QImage picture(image.width, image.height, QImage::Format_RGB32);
  for (int y = 0; y < image.height; ++y)
    for (int x = 0; x < image.width; ++x)
      picture.setPixel(x, y, 0xFF000000u | image.palette[image.pixels[y * image.width + x] & 0x0F]);
  return QIcon(QPixmap::fromImage(picture));
}

// The buttons of a box by its MB_ type, with the answer each gives.
struct BoxButton {
  QMessageBox::StandardButton button;
  int answer;
};
std::vector<BoxButton> ButtonsOf(UINT type) {
  switch (type & MB_TYPEMASK) {
    case MB_OKCANCEL: return {{QMessageBox::Ok, IDOK}, {QMessageBox::Cancel, IDCANCEL}};
    case MB_ABORTRETRYIGNORE:
      return {{QMessageBox::Abort, IDABORT}, {QMessageBox::Retry, IDRETRY}, {QMessageBox::Ignore, IDIGNORE}};
    case MB_YESNOCANCEL:
      return {{QMessageBox::Yes, IDYES}, {QMessageBox::No, IDNO}, {QMessageBox::Cancel, IDCANCEL}};
    case MB_YESNO: return {{QMessageBox::Yes, IDYES}, {QMessageBox::No, IDNO}};
    case MB_RETRYCANCEL: return {{QMessageBox::Retry, IDRETRY}, {QMessageBox::Cancel, IDCANCEL}};
    case MB_CANCELTRYCONTINUE:
      return {{QMessageBox::Cancel, IDCANCEL}, {QMessageBox::Retry, IDTRYAGAIN}, {QMessageBox::Ignore, IDCONTINUE}};
    default: return {{QMessageBox::Ok, IDOK}};
  }
}

QMessageBox::Icon BoxIcon(UINT type) {
  switch (type & kIconTypeMask) {
    case MB_ICONHAND: return QMessageBox::Critical;
    case MB_ICONQUESTION: return QMessageBox::Question;
    case MB_ICONEXCLAMATION: return QMessageBox::Warning;
    case MB_ICONASTERISK: return QMessageBox::Information;
    default: return QMessageBox::NoIcon;
  }
}

class QtView final : public View {
 public:
  QtView() {
    wake_timer_.setSingleShot(true);
    wake_timer_.setTimerType(Qt::PreciseTimer);
    if (instance_.Listen()) {
      instance_notifier_ = std::make_unique<QSocketNotifier>(instance_.fd(), QSocketNotifier::Read);
      QObject::connect(instance_notifier_.get(), &QSocketNotifier::activated, [this] { ShowOnRequest(); });
    }
  }

  ~QtView() override {
    notifiers_.clear();
    tray_.clear();
    for (auto& [id, entry] : widgets_)
      if (entry.widget && entry.widget->parent() == nullptr) delete entry.widget.data();
    widgets_.clear();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  }

  int ShowMessageBox(HWND owner, std::string_view caption, std::string_view text, UINT type,
                     int default_answer) override;
  void WallpaperChanged(std::string_view given_path, const std::string&) override {
    std::string line = "wallpaper: " + PathForDisplay(given_path) + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
  }
  void WindowChanged(HWND hwnd) override;
  void WindowDestroyed(HWND hwnd) override;
  void TrayChanged() override;
  int Wait(pollfd* fds, size_t count, int timeout_ms) override;
  int MonitorCount() const override { return static_cast<int>(QGuiApplication::screens().size()); }

  // For tests that drive the desktop from outside: the native window that
  // shows a model window, 0 when none does.
  WId NativeWindow(HWND hwnd) {
    auto it = widgets_.find(IdOf(hwnd));
    return it != widgets_.end() && it->second.widget ? it->second.widget->winId() : 0;
  }

 private:
  struct Entry {
    QPointer<QWidget> widget;
    WindowWidget* view = nullptr;  // the same object; valid while `widget` is
  };
  struct TrayEntry {
    std::unique_ptr<QSystemTrayIcon> icon;
    HICON shown_icon = nullptr;
  };
  struct Watch {
    std::unique_ptr<QSocketNotifier> read, write;
  };

  QWidget* WidgetOf(uint32_t id) {
    auto it = widgets_.find(id);
    return it != widgets_.end() ? it->second.widget.data() : nullptr;
  }
  // The widget that shows `window`, made on first sight; null for a child
  // whose parent has none yet.
  WindowWidget* Ensure(const Window& window);
  void PostTrayClick(HWND owner, UINT id, QSystemTrayIcon::ActivationReason reason);
  void WatchOnly(pollfd* fds, size_t count);
  void ShowOnRequest();

  std::map<uint32_t, Entry> widgets_;
  std::map<std::pair<HWND, UINT>, TrayEntry> tray_;
  std::map<int, Watch> notifiers_;
  QTimer wake_timer_;
  int modal_depth_ = 0;  // message boxes open
  InstanceSocket instance_;
  std::unique_ptr<QSocketNotifier> instance_notifier_;
};

WindowWidget* QtView::Ensure(const Window& window) {
  auto it = widgets_.find(window.id);
  if (it != widgets_.end()) return it->second.widget ? it->second.view : nullptr;
  WindowWidget* view;
  if (window.parent == 0) {
    view = CreateTopLevelWidget(window);
  } else {
    QWidget* parent = WidgetOf(window.parent);
    if (parent == nullptr) {
      const Window* parent_window = FindId(window.parent);
      if (parent_window == nullptr || Ensure(*parent_window) == nullptr) return nullptr;
      parent = WidgetOf(window.parent);
    }
    view = CreateControlWidget(window, parent);
  }
  widgets_[window.id] = Entry{view->widget(), view};
  return view;
}

void QtView::WindowChanged(HWND hwnd) {
  const Window* window = Find(hwnd);
  if (window == nullptr || window->destroying) return;
  if (window->parent == 0) {
    // The class icon goes with the window.
    const auto& classes = layer::Model().classes;
    for (const WindowClass& c : classes) {
      if (c.key != window->class_key) continue;
      if (WindowWidget* view = Ensure(*window); view != nullptr && c.info.hIcon != nullptr &&
                                                  view->widget()->windowIcon().isNull())
        view->widget()->setWindowIcon(IconOf(c.info.hIcon));
      break;
    }
  }
  if (WindowWidget* view = Ensure(*window)) view->Sync(*window);
}

void QtView::WindowDestroyed(HWND hwnd) {
  auto it = widgets_.find(IdOf(hwnd));
  if (it == widgets_.end()) return;
  if (QWidget* widget = it->second.widget) {
    // Later: the widget may be the one whose event handler is running now.
    widget->hide();
    widget->deleteLater();
  }
  widgets_.erase(it);
}

void QtView::TrayChanged() {
  const auto& icons = layer::Model().tray;
  std::map<std::pair<HWND, UINT>, TrayEntry> kept;
  for (const TrayIcon& icon : icons) {
    auto key = std::make_pair(icon.data.hWnd, icon.data.uID);
    TrayEntry entry;
    if (auto it = tray_.find(key); it != tray_.end()) {
      entry = std::move(it->second);
      tray_.erase(it);
    } else {
      entry.icon = std::make_unique<QSystemTrayIcon>();
      HWND owner = icon.data.hWnd;
      UINT id = icon.data.uID;
      QObject::connect(entry.icon.get(), &QSystemTrayIcon::activated,
                       [this, owner, id](QSystemTrayIcon::ActivationReason reason) {
                         PostTrayClick(owner, id, reason);
                       });
    }
    if (icon.data.hIcon != entry.shown_icon) {
      entry.icon->setIcon(IconOf(icon.data.hIcon));
      entry.shown_icon = icon.data.hIcon;
    }
    entry.icon->setToolTip(FromAnsi(icon.data.szTip));
    entry.icon->show();
    kept.emplace(key, std::move(entry));
  }
  tray_ = std::move(kept);  // icons no longer in the model go with the old map
}

// A click on an icon: its callback message with the icon id, and the mouse
// message of the button, as the notification area posts them.
void QtView::PostTrayClick(HWND owner, UINT id, QSystemTrayIcon::ActivationReason reason) {
  for (const TrayIcon& icon : layer::Model().tray) {
    if (icon.data.hWnd != owner || icon.data.uID != id) continue;
    if ((icon.data.uFlags & NIF_MESSAGE) == 0) return;
    auto post = [&](UINT mouse) {
      PostMessageA(owner, icon.data.uCallbackMessage, id, static_cast<LPARAM>(mouse));
    };
    switch (reason) {
      case QSystemTrayIcon::Trigger: post(WM_LBUTTONDOWN); post(WM_LBUTTONUP); break;
      case QSystemTrayIcon::DoubleClick: post(WM_LBUTTONDBLCLK); break;
      case QSystemTrayIcon::Context: post(WM_RBUTTONDOWN); post(WM_RBUTTONUP); break;
      case QSystemTrayIcon::MiddleClick: post(WM_MBUTTONDOWN); post(WM_MBUTTONUP); break;
      default: break;
    }
    return;
  }
}

// Another start of the program on this display: do what a click on the
// icon does, which brings the window back.
void QtView::ShowOnRequest() {
  while (instance_.Accept()) {
    const auto& icons = layer::Model().tray;
    if (!icons.empty())
      PostTrayClick(icons.front().data.hWnd, icons.front().data.uID, QSystemTrayIcon::Trigger);
  }
}

// Qt's dispatcher watches the loop's descriptors for the length of a wait.
// A notifier only wakes the wait; which descriptors are ready is asked of
// poll itself afterwards, so the loop sees exactly what poll would report.
void QtView::WatchOnly(pollfd* fds, size_t count) {
  std::map<int, Watch> watching;
  for (size_t i = 0; i < count; ++i) {
    Watch watch;
    if (auto it = notifiers_.find(fds[i].fd); it != notifiers_.end()) {
      watch = std::move(it->second);
      notifiers_.erase(it);
    }
    auto want = [&](std::unique_ptr<QSocketNotifier>& notifier, bool wanted, QSocketNotifier::Type type) {
      if (!wanted) {
        notifier.reset();
        return;
      }
      if (!notifier) {
        notifier = std::make_unique<QSocketNotifier>(fds[i].fd, type);
        QSocketNotifier* raw = notifier.get();
        // Level-triggered: quiet until the next wait, which polls for it.
        QObject::connect(raw, &QSocketNotifier::activated, [raw] { raw->setEnabled(false); });
      }
      notifier->setEnabled(true);
    };
    want(watch.read, (fds[i].events & POLLIN) != 0, QSocketNotifier::Read);
    want(watch.write, (fds[i].events & POLLOUT) != 0, QSocketNotifier::Write);
    watching[fds[i].fd] = std::move(watch);
  }
  notifiers_ = std::move(watching);  // descriptors no longer watched are let go
}

int QtView::Wait(pollfd* fds, size_t count, int timeout_ms) {
  WatchOnly(fds, count);
  if (timeout_ms == 0) {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
  } else {
    if (timeout_ms > 0) wake_timer_.start(timeout_ms);
    // Returns once Qt has handled something: input, a notifier, the timer.
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    wake_timer_.stop();
  }
  // Qt frees what was put aside for deletion only in a loop of its own;
  // the program's loop is that loop. Inside a message box some widget's
  // handler may still be running, so only the outermost wait frees.
  if (modal_depth_ == 0) QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  int ready;
  do {
    ready = poll(fds, count, 0);
  } while (ready < 0 && errno == EINTR);
  return ready;
}

// A modal box owned by the window, as Windows shows one: the owner's
// messages, timers and socket events go on being dispatched meanwhile.
int QtView::ShowMessageBox(HWND owner, std::string_view caption, std::string_view text, UINT type,
                           int default_answer) {
  QWidget* parent = nullptr;
  for (const Window* w = Find(owner); w != nullptr && parent == nullptr;) {
    if (w->parent != 0) {
      w = FindId(w->parent);
      continue;
    }
    if (WindowWidget* view = Ensure(*w)) parent = view->widget();
    break;
  }
  // A transient box needs its owner's native window, shown or not.
  if (parent != nullptr) parent->winId();
  QPointer<QMessageBox> box = new QMessageBox(BoxIcon(type), FromAnsi(caption), FromAnsi(text),
                                              QMessageBox::NoButton, parent);
  box->setTextFormat(Qt::PlainText);
  std::vector<BoxButton> buttons = ButtonsOf(type);
  for (const BoxButton& b : buttons) {
    QPushButton* button = box->addButton(b.button);
    if (b.answer == default_answer) box->setDefaultButton(button);
  }
  box->setWindowModality(parent != nullptr ? Qt::WindowModal : Qt::ApplicationModal);

  bool done = false;
  int answer = default_answer;
  auto finish = [&done] {
    done = true;
    PostMessageA(nullptr, WM_NULL, 0, 0);  // wakes the loop below
  };
  QObject::connect(box, &QMessageBox::finished, box, [&, box = box.data()] {
    for (const BoxButton& b : buttons)
      if (box->clickedButton() == box->button(b.button)) answer = b.answer;
    finish();
  });
  QObject::connect(box, &QObject::destroyed, [&] {
    if (!done) finish();
  });
  box->show();

  ++modal_depth_;
  MSG msg;
  while (!done) {
    BOOL got = GetMessageA(&msg, nullptr, 0, 0);
    if (got == 0) {
      PostQuitMessage(static_cast<int>(msg.wParam));  // the outer loop ends too
      break;
    }
    if (got < 0) {
      // Only a test's stopped clock gets here; wait for the person instead.
      QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
      continue;
    }
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
  --modal_depth_;
  if (box) {
    QObject::disconnect(box, &QObject::destroyed, nullptr, nullptr);
    box->hide();
    box->deleteLater();
  }
  return answer;
}

// Qt ends the process when it cannot reach the display, so the display is
// tried first; the headless program then goes on in its place.
bool DisplayReachable(const char** reason) {
  const char* forced = std::getenv("QT_QPA_PLATFORM");
  std::string platform = forced != nullptr ? forced : "";
  const char* display = std::getenv("DISPLAY");
  if (platform.empty() || platform.rfind("xcb", 0) == 0) {
    if (display != nullptr && display[0] != '\0') {
      xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
      bool reached = xcb_connection_has_error(connection) == 0;
      xcb_disconnect(connection);
      if (reached) {
        if (platform.empty()) setenv("QT_QPA_PLATFORM", "xcb", 1);
        return true;
      }
      if (!platform.empty()) {
        *reason = "cannot open the X display";
        return false;
      }
    }
    QString wayland = QLibraryInfo::path(QLibraryInfo::PluginsPath) + "/platforms/libqwayland-generic.so";
    const char* wayland_display = std::getenv("WAYLAND_DISPLAY");
    if (wayland_display == nullptr || wayland_display[0] == '\0' || !QFile::exists(wayland)) {
      *reason = "cannot open the display";
      return false;
    }
    setenv("QT_QPA_PLATFORM", "wayland", 1);
  }
  return true;
}

QtView* the_view = nullptr;
QApplication* the_application = nullptr;

}  // namespace
}  // namespace layer::qt

using layer::qt::QtView;

extern "C" __attribute__((visibility("default"))) layer::View* SkerrowCreateDesktopView(const char* program,
                                                                                      int* handed_over,
                                                                                      const char** reason) {
  using namespace layer::qt;
  *handed_over = 0;
  if (!DisplayReachable(reason)) return nullptr;
  if (InstanceSocket::HandOver()) {
    *handed_over = 1;
    return nullptr;
  }
  static int argc = 1;
  static char* argv[] = {const_cast<char*>(program), nullptr};
  the_application = new QApplication(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  the_view = new QtView;
  return the_view;
}

extern "C" __attribute__((visibility("default"))) void SkerrowDestroyDesktopView(layer::View* view) {
  using namespace layer::qt;
  if (view != the_view) return;
  delete the_view;
  the_view = nullptr;
  delete the_application;
  the_application = nullptr;
}

extern "C" __attribute__((visibility("default"))) unsigned long SkerrowDesktopNativeWindow(HWND hwnd) {
  return layer::qt::the_view != nullptr ? layer::qt::the_view->NativeWindow(hwnd) : 0;
}
